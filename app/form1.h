// Form1, the program's one window: a small fixed dark window filled by a background
// picture, with the option controls in a strip along the bottom and the prompt in the
// middle of the drop area. It loads (restores the settings, adjusts the layout to the
// screen's pixel density, becomes topmost), gives hover and drag feedback, and saves the
// settings when it is closed. What the clicks, the drop and the timer do is plugged in
// through `events`.
#pragma once

#include <windows.h>
#include <oleidl.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "app/controls.h"
#include "app/drop_target.h"
#include "app/settings_file.h"
#include "core/scoped_win.h"

namespace tess {

class Form1 {
public:
    struct Options {
        // Twips per pixel; 0 takes the screen's (1440 / logical dots per inch).
        double twipsPerPixelX = 0;
        double twipsPerPixelY = 0;
        // Show the window at the end of loading.
        bool show = true;
        // End the thread's message loop (WM_QUIT) when the window is gone and no handler
        // (a batch) runs any more.
        bool quitOnClose = false;
    };

    // The handlers other parts of the program plug in. Each runs on the user-interface
    // thread; none is required. Exceptions never leave the window procedure.
    struct Events {
        std::function<void()> createRunner;   // load, step 2: the command runner runDos
        std::function<void()> createDialogs;  // load, step 3: the dialog object dlgFiles
        std::function<void()> surfaceClick;   // a click on the window's own surface
        std::function<void(IDataObject* data, DWORD* effect)> drop;
        std::function<void()> timerTick;      // a tick of timerRun (never re-entered)
        std::function<void()> command1Click;  // Command1 and lblPath: choose the output folder
        std::function<void()> lblFormatClick;
        std::function<void()> label5Click;
        std::function<void()> label3Click;
    };

    static constexpr double kDropAreaLeft = 1900, kDropAreaTop = 10;
    static constexpr double kDropAreaRight = 5700, kDropAreaBottom = 2500;
    static inline const wchar_t kPrompt[] = L"Please drag and drop Photos Here";
    static inline const wchar_t kDefaultOutputPath[] = L"C:\\output";

    Form1();
    explicit Form1(Options options);
    ~Form1();
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;

    // Creates the window and its controls, registers the drop target, runs the load steps
    // and shows the window. False only when the window itself could not be created.
    bool Load();
    // Closes the window as the user does: the settings are saved, then the window goes.
    void Close();

    HWND hwnd() const { return hwnd_; }
    const PixelScale& Scale() const { return scale_; }
    IDropTarget* GetDropTarget() const { return dropTarget_.get(); }

    // The background: normal (picBack1's picture) or highlighted (picBack2's).
    void ShowNormalBackground();
    bool ShowsNormalBackground() const;
    const Picture* ShownPicture() const { return shown_; }

    // Every control with a place and a size, in tab order (timerRun is not among them).
    std::vector<Control*> Controls();
    // The control whose window is `child`, or null.
    Control* ControlOf(HWND child);
    bool IsLinkLabel(HWND child);

    // Hover and drag feedback, as the mouse messages and the drop target call them.
    // Positions are in twips.
    void OnPointerMove(double xTwips, double yTwips);
    void OnDragFeedback();

    Events events;

    // Members besides the controls.
    std::wstring strOutputPath;
    std::wstring strCommand;
    std::wstring strResize;

    // The controls, in tab order.
    Control Label1;
    ListBoxControl lstFile;
    Control Command1;
    Control Text1;
    Control Label2;
    Control lblPath;
    Control Label3;
    Control txtResize;
    Control Label4;
    Control Label5;
    Control Label6;
    Control txtConvert;
    PictureBoxControl picBack2;
    PictureBoxControl picBack1;
    Control lblFormat;
    Control Label7;
    TimerControl timerRun;

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT Dispatch(UINT msg, WPARAM wp, LPARAM lp);
    bool CreateWindowAndControls();
    void RunLoadSteps();
    void Unload();
    // The controls the settings file keeps, in the order of its lines.
    std::array<Control*, kSettingsLineCount> SettingsControls();
    void ShowPicture(const Picture* picture);
    bool IsOnSurface(LPARAM position) const;
    template <class F>
    void Run(const F& handler);

    // The messages' handlers.
    void OnPaint();
    LRESULT OnCtlColorStatic(HDC dc, HWND child);
    LRESULT OnCtlColorEdit(HDC dc);
    bool OnSetCursor(HWND child, UINT hitTest);
    void OnMouseMove(LPARAM position);
    void OnLButtonDown();
    void OnLButtonUp(LPARAM position);
    void OnCaptureChanged();
    void OnCommand(int id, int code);
    void OnTimer(UINT_PTR id);
    void OnClose();
    void OnDestroy();
    LRESULT OnNcDestroy(WPARAM wp, LPARAM lp);

    PixelScale scale_;
    Options options_;
    HWND hwnd_ = nullptr;
    const Picture* shown_ = nullptr;
    ComPtr<DropTarget> dropTarget_;
    bool dropRegistered_ = false;
    bool surfacePressed_ = false;
    bool inTick_ = false;
    int runningHandlers_ = 0;   // handlers of Run now running, nested ones included
    bool quitPending_ = false;  // closed while a handler ran: quit when the last returns
    HCURSOR linkCursor_ = nullptr;
    BrushObject formBrush_;
    BrushObject editBrush_;
};

}  // namespace tess
