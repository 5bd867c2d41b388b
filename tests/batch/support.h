// Shared by the batch, option and benchmark programs under Wine: drop data, a recorder for
// the shell calls, the test converter's log, an in-memory window, and message pumping.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "convert/form_host.h"
#include "core/shell_calls.h"
#include "tests/support/utf8.h"

namespace tess::testing {

// Data as the shell drags it: a file-drop list (CF_HDROP) of the given paths, or, for
// Text, only CF_UNICODETEXT. Starts with one reference, dropped by Release.
IDataObject* NewFileDrop(const std::vector<std::wstring>& paths);
IDataObject* NewTextDrop(const std::wstring& text);

// Dispatches the thread's messages until done() is true or the limit has passed.
bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(60));

// What the process holds now: kernel handles and GDI objects. The system counts them
// where it can (GetProcessHandleCount, GetGuiResources); Wine answers both with 0, so
// there the process's entries in the system's handle list and in the GDI handle table
// are counted instead.
struct ResourceCounts {
    unsigned long handles = 0;
    unsigned long gdiObjects = 0;
    bool operator==(const ResourceCounts&) const = default;
};
ResourceCounts CountResources();

// The folder of the running test program (where data\convert.exe lies).
std::wstring ProgramFolder();

std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
bool IsFile(const std::wstring& path);
bool IsFolder(const std::wstring& path);
// Every file in the folder, by name.
std::vector<std::wstring> FilesIn(const std::wstring& folder);

// Replaces the shell calls for its lifetime and records them. The folder dialog answers
// with `chosenFolder`, or is cancelled when that is empty.
class ShellRecorder {
public:
    struct Execute {
        HWND owner;
        std::string verb, file;
        bool parametersNull, directoryNull;
        int show;
    };

    ShellRecorder();
    ~ShellRecorder();
    ShellRecorder(const ShellRecorder&) = delete;
    ShellRecorder& operator=(const ShellRecorder&) = delete;

    std::string chosenFolder;         // what the folder dialog returns ("" = cancel)
    bool pathConversionFails = false;  // SHGetPathFromIDListA reports failure
    std::vector<Execute> executes;
    std::function<void()> onExecute;    // runs inside every ShellExecuteA
    std::vector<BROWSEINFOA> browses;
    std::vector<std::string> browseTitles;
    int idListsHandedOut = 0;

private:
    ShellCalls saved_;
};

// The test converter's log for this process: set up before the first run.
class ConverterLog {
public:
    explicit ConverterLog(const std::wstring& folder);
    // The input path of every run, in the order started.
    std::vector<std::wstring> Inputs() const;
    // The whole command line of every run.
    std::vector<std::wstring> CommandLines() const;
    // True when no run started before the previous one ended.
    bool NeverOverlapped() const;

private:
    std::vector<std::string> Lines() const;
    std::wstring path_;
};

// The window reduced to what the batch touches, kept in memory; every
// caption Label1 shows is recorded.
class FakeForm final : public FormHost {
public:
    FakeForm();
    ~FakeForm() override;

    HWND Window() const override { return window_; }
    std::wstring Text(Field field) const override;
    void SetText(Field field, const std::wstring& text) override;
    std::wstring PromptText() const override;
    void ShowPrompt() override { promptShown = true; }
    void ShowNormalBackground() override { ++normalBackgroundShown; }
    std::wstring OutputPath() const override { return outputPath; }
    void SetOutputPath(const std::wstring& path) override { outputPath = path; }
    std::wstring Command() const override { return command; }
    void SetCommand(const std::wstring& text) override { command = text; }
    std::wstring Resize() const override { return resize; }
    void SetResize(const std::wstring& fragment) override { resize = fragment; }
    void ArmTimer() override { timerArmed = true; }
    void DisarmTimer() override { timerArmed = false; }
    std::size_t FileCount() const override { return files.size(); }
    void AddFile(const std::wstring& path) override { files.push_back(path); }
    void RemoveFirstFile() override { files.erase(files.begin()); }
    // The window's own path test and settings folder.
    bool FileExists(const std::wstring& path) const override;
    std::wstring SettingsFolder() const override;

    std::map<Field, std::wstring> texts;
    std::vector<std::wstring> captions;  // every caption Label1 was given, in order
    bool promptShown = false;
    int normalBackgroundShown = 0;
    std::wstring outputPath, command, resize;
    bool timerArmed = false;
    std::vector<std::wstring> files;

private:
    HWND window_ = nullptr;
};

}  // namespace tess::testing
