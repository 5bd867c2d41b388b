// What the two batch drivers need of the main window: the texts of the option controls
// and of the prompt, the background, the members the batch writes, the batch timer, the
// hidden file list, and the window's own path tests and settings folder. The window
// implements it; tests can too.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace tess {

class FormHost {
public:
    // The controls the batch reads or writes, by what they stand for.
    enum class Field {
        Prompt,        // Label1: the prompt, and the batch's progress
        Format,        // lblFormat: the format word
        Quality,       // Text1: the quality text
        ResizeSwitch,  // Label5: "YES" or "NO"
        ResizeWidth,   // txtResize: the width text
    };

    virtual ~FormHost() = default;

    virtual HWND Window() const = 0;

    virtual std::wstring Text(Field field) const = 0;
    virtual void SetText(Field field, const std::wstring& text) = 0;
    // The text Label1 shows while no batch runs.
    virtual std::wstring PromptText() const = 0;
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

    // The window's test of a chosen path: it names an existing file that is not a folder.
    virtual bool FileExists(const std::wstring& path) const = 0;
    // The folder the settings file lies in.
    virtual std::wstring SettingsFolder() const = 0;
};

}  // namespace tess
