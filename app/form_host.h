// What the option controls and the two batch drivers need of the main window: its
// captions and texts, the prompt, the background, the members the batch writes, the
// batch timer and the hidden file list. The window implements it; tests can too.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace tess {

class FormHost {
public:
    // The controls whose caption or text is read or written.
    enum class Field {
        Label1,     // prompt and batch progress
        lblFormat,  // format word
        Text1,      // quality
        Label5,     // resize switch, "YES" or "NO"
        txtResize,  // resize width
        lblPath,    // output folder, as shown
        Command1,   // output folder, as the off-screen button shows it
    };

    virtual ~FormHost() = default;

    virtual HWND Window() const = 0;

    virtual std::wstring Text(Field field) const = 0;
    virtual void SetText(Field field, const std::wstring& text) = 0;
    virtual void SetResizeBoxEnabled(bool enabled) = 0;
    // Makes Label1 visible (a drag over the window hides it).
    virtual void ShowPrompt() = 0;
    virtual void ShowNormalBackground() = 0;

    // The members strOutputPath, strCommand and strResize.
    virtual std::wstring OutputPath() const = 0;
    virtual void SetOutputPath(const std::wstring& path) = 0;
    virtual std::wstring Command() const = 0;
    virtual void SetCommand(const std::wstring& command) = 0;
    virtual std::wstring Resize() const = 0;
    virtual void SetResize(const std::wstring& fragment) = 0;

    // timerRun.
    virtual void ArmTimer() = 0;
    virtual void DisarmTimer() = 0;

    // lstFile.
    virtual std::size_t FileCount() const = 0;
    virtual void AddFile(const std::wstring& path) = 0;
    virtual void RemoveFirstFile() = 0;
};

}  // namespace tess
