#include "runner/dos_outputs.h"

#include <windows.h>
#include <tlhelp32.h>

// The process walk uses the ANSI record and functions whatever UNICODE says.
#undef PROCESSENTRY32
#undef Process32First
#undef Process32Next

#include <cstring>
#include <string>

#include "core/codepage.h"
#include "core/program.h"
#include "core/scoped_win.h"
#include "runner/message_pump.h"
#include "runner/waitable_timer.h"

namespace tess {

std::wstring strProcessName;

namespace {

constexpr DWORD kReadSize = 1024;   // bytes asked for per read
constexpr long kPassPauseMs = 50;   // pause between passes

void ShowFailureBox(const std::wstring& message) {
    MessageBoxW(GetActiveWindow(), message.c_str(), kProgramTitle, MB_ICONERROR | MB_OK);
}

std::wstring Lower(std::wstring text) {
    if (!text.empty()) CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// Bytes waiting in the pipe; a broken or failing pipe counts as empty, so that the
// end of the run is decided by the process list.
DWORD UnreadBytes(HANDLE pipe) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return 0;
    return available;
}

}  // namespace

DOSOutputs::DOSOutputs() : report_(ShowFailureBox) {}

void DOSOutputs::Report(const std::wstring& message) const {
    if (report_) report_(message);
}

std::wstring DOSOutputs::ExecuteCommand(std::wstring_view commandLine) {
    if (!commandLine.empty()) commandLine_.assign(commandLine);
    if (commandLine_.empty()) {
        Report(L"Command Line empty");
        return {};
    }

    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = nullptr;
    sa.bInheritHandle = TRUE;

    UniqueHandle readEnd, writeEnd;
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &sa, 0)) {
        const DWORD error = GetLastError();
        Report(L"CreatePipe failed. Error: " + std::to_wstring(error));
        return {};
    }

    // The child inherits the writing end only. Holding the reading end of its own output
    // too, it would never see the pipe break: once this run stops reading (an error, the
    // window closed), its next write into a full pipe would wait for ever.
    if (!SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0)) {
        const DWORD error = GetLastError();
        Report(L"CreatePipe failed. Error: " + std::to_wstring(error));
        return {};
    }

    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    si.wShowWindow = SW_HIDE;
    si.hStdInput = nullptr;
    si.hStdOutput = writeEnd.get();
    si.hStdError = writeEnd.get();

    PROCESS_INFORMATION pi{};
    std::string narrow = SystemCodePage().Narrow(commandLine_);
    if (!CreateProcessA(nullptr, narrow.data(), &sa, &sa, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
                        nullptr, &si, &pi)) {
        readEnd.reset();
        writeEnd.reset();
        Report(L"File or command not found");
        return {};
    }
    UniqueHandle process(pi.hProcess), thread(pi.hThread);

    // Only the child holds a writer now, so the pipe breaks when it has gone.
    writeEnd.reset();
    outputs_.clear();
    exitCode_.reset();

    const auto readChunk = [&] {
        char buffer[kReadSize];
        DWORD read = 0;
        const bool ok = ReadFile(readEnd.get(), buffer, kReadSize, &read, nullptr) != FALSE;
        const std::wstring chunk = SystemCodePage().Widen(std::string_view(buffer, read));
        outputs_ += chunk;
        ReceiveOutputs.Raise(chunk);
        return ok;
    };
    std::optional<clsWaitableTimer> pause;
    bool keepGoing = true;
    while (keepGoing) {
        if (UnreadBytes(readEnd.get()) != 0) {
            keepGoing = readChunk();
        } else if (!ProcessExists(strProcessName)) {
            // It may have written its last words between the two looks: they are in the
            // pipe still.
            while (UnreadBytes(readEnd.get()) != 0 && readChunk()) {
            }
            keepGoing = false;
        }
        YieldToMessages();
        if (!pause) pause.emplace();
        pause->Wait(kPassPauseMs);
    }

    DWORD code = 0;
    if (WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0 && GetExitCodeProcess(process.get(), &code))
        exitCode_ = code;
    process.reset();
    thread.reset();
    readEnd.reset();

    CommandOver.Raise();
    return outputs_;
}

bool DOSOutputs::ProcessExists(std::wstring_view imageName) const {
    // No program has an empty name. Wine lists a process that is being started or
    // ended without one, so an empty name would match whatever else happens to run.
    if (imageName.empty()) return false;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;

    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;

    const std::wstring wanted = Lower(std::wstring(imageName));
    bool found = false;
    for (BOOL more = Process32First(snapshot.get(), &entry); more;
         more = Process32Next(snapshot.get(), &entry)) {
        const std::size_t length = strnlen(entry.szExeFile, sizeof entry.szExeFile);
        const std::wstring name = SystemCodePage().Widen(std::string_view(entry.szExeFile, length));
        if (Lower(name) == wanted) found = true;
    }
    return found;
}

}  // namespace tess
