// Runs one command line as a hidden child process with its standard output and error
// captured through one pipe, and returns when it has ended, keeping the window alive
// meanwhile. "Ended" means: the pipe is empty and no process with the image name
// strProcessName is running.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "runner/event.h"

namespace tess {

// Image file name (name and extension, no folder) of the process whose presence means
// that the started command still runs. Set by the batch before every run.
extern std::wstring strProcessName;

class DOSOutputs {
public:
    // Shows one failure text to the user and returns once it has been acknowledged.
    using FailureReporter = std::function<void(const std::wstring& message)>;

    // Failures go to a modal message box with the error icon and the program's title.
    DOSOutputs();

    // The stored command line; an empty text clears it.
    void CommandLine(std::wstring DOSCommand) { commandLine_ = std::move(DOSCommand); }
    std::wstring CommandLine() const { return commandLine_; }

    // Everything captured by the last run that started a process.
    std::wstring Outputs() const { return outputs_; }

    // Exit code of the child of the last run that started a process; empty before
    // the first such run, and when that child was still running as the run ended.
    std::optional<unsigned long> ExitCode() const { return exitCode_; }

    // Runs commandLine (when not empty, it replaces the stored one) or the stored
    // command line, and returns what the child wrote. The three failures (no command
    // line, no pipe, child not started) are reported and give an empty text.
    std::wstring ExecuteCommand(std::wstring_view commandLine = {});

    // Raised after every read from the pipe with the text just read.
    Event<DOSOutputs, const std::wstring&> ReceiveOutputs;
    // Raised once per run that started a process, just before ExecuteCommand returns.
    Event<DOSOutputs> CommandOver;

    // Where failure texts go instead of the message box (nowhere when empty).
    void SetFailureReporter(FailureReporter reporter) { report_ = std::move(reporter); }

private:
    friend class DOSOutputsProbe;

    void Report(const std::wstring& message) const;

    // Whether any running process has the image file name imageName (case ignored).
    bool ProcessExists(std::wstring_view imageName) const;

    std::wstring commandLine_;
    std::wstring outputs_;
    std::optional<unsigned long> exitCode_;
    FailureReporter report_;
};

}  // namespace tess
