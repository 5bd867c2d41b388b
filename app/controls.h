// The window's controls. Each keeps its place, size and font size in twips and points, as
// the layout is defined, and shows itself in pixels through the window's twips per pixel.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>

#include "app/picture.h"
#include "core/scoped_win.h"

namespace tess {

// Twips per pixel, horizontally and vertically: 15 at 96 dots per inch.
struct PixelScale {
    double x = 15.0;
    double y = 15.0;
};

enum class ControlKind { Label, LinkLabel, TextBox, ListBox, Button, PictureBox };
enum class TextAlign { Left, Center, Right };

struct FontSpec {
    std::wstring face = L"Verdana";
    double points = 9.0;
    int weight = FW_NORMAL;
    bool underline = false;
    BYTE charset = ANSI_CHARSET;
};

struct ControlDef {
    std::wstring name;
    ControlKind kind;
    double left, top, width, height;  // twips
    std::wstring text;
    int tabIndex;
    FontSpec font;
    TextAlign align = TextAlign::Left;
    bool autoSize = false;
    bool visible = true;
    bool enabled = true;
};

class Control {
public:
    Control(ControlDef def, const PixelScale& scale);
    virtual ~Control();
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    // Makes the child window of `parent`; the control is usable from then on.
    void Create(HWND parent, int id);
    // The child window is about to go with its parent: the control keeps what it shows
    // (text, visibility, enabled state) and goes on without a window, so that a handler
    // still running after the window was closed reads the values as they stood.
    void Forget();

    const std::wstring& Name() const { return def_.name; }
    bool IsLabel() const { return def_.kind == ControlKind::Label || def_.kind == ControlKind::LinkLabel; }
    bool IsLinkLabel() const { return def_.kind == ControlKind::LinkLabel; }
    bool IsTextBox() const { return def_.kind == ControlKind::TextBox; }
    int TabIndex() const { return def_.tabIndex; }
    TextAlign Align() const { return def_.align; }
    bool AutoSize() const { return def_.autoSize; }
    const FontSpec& Font() const { return def_.font; }
    HWND Handle() const { return hwnd_; }

    // Caption of a label or button, text of a text box.
    std::wstring Text() const;
    // The first `count` characters of the text (all of it when shorter), read cheaply.
    std::wstring TextPrefix(int count) const;
    void SetText(std::wstring_view text);

    bool Visible() const;
    void SetVisible(bool visible);
    bool Enabled() const;
    void SetEnabled(bool enabled);

    // Place and size in twips, font size in points. An auto-sized label recomputes its size
    // from its text whenever the text or the font size changes.
    double Left() const { return def_.left; }
    double Top() const { return def_.top; }
    double Width() const { return def_.width; }
    double Height() const { return def_.height; }
    double FontSize() const { return def_.font.points; }
    void SetLeft(double twips);
    void SetTop(double twips);
    void SetWidth(double twips);
    void SetHeight(double twips);
    void SetFontSize(double points);

    // The place and size in client pixels as shown now.
    RECT PixelRect() const;

private:
    // Sets one of the place and size fields and shows the control there.
    void SetPlacement(double& field, double twips);
    void Place();
    void ApplyFont();
    void FitToText();

    ControlDef def_;
    const PixelScale& scale_;
    HWND hwnd_ = nullptr;
    FontObject font_;
};

// The hidden, unsorted file list.
class ListBoxControl : public Control {
public:
    using Control::Control;
    void AddItem(std::wstring_view item);
    int ListCount() const;
    std::wstring List(int index) const;
    void RemoveFirstItem();
};

// A hidden holder of one of the two background pictures.
class PictureBoxControl : public Control {
public:
    using Control::Control;
    const Picture* GetPicture() const { return picture_.get(); }
    void SetPicture(std::unique_ptr<Picture> picture) { picture_ = std::move(picture); }

private:
    std::unique_ptr<Picture> picture_;
};

// A window timer: armed and disarmed, with a fixed interval.
class TimerControl {
public:
    TimerControl(std::wstring name, UINT intervalMs) : name_(std::move(name)), interval_(intervalMs) {}
    void Attach(HWND owner, UINT_PTR id) {
        owner_ = owner;
        id_ = id;
    }
    // The owner window is going: the timer stops and can no longer be armed.
    void Forget();
    const std::wstring& Name() const { return name_; }
    UINT_PTR Id() const { return id_; }
    UINT Interval() const { return interval_; }
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);

private:
    std::wstring name_;
    UINT interval_;
    HWND owner_ = nullptr;
    UINT_PTR id_ = 0;
    bool enabled_ = false;
};

}  // namespace tess
