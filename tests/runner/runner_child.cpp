// A child process for the runner's tests. Its arguments are steps done in order:
//   out N      write N pattern bytes to standard output in one write
//   text WORD  write WORD to standard output
//   err WORD   write WORD to standard error
//   hex XX..   write the bytes given in hexadecimal to standard output
//   sleep MS   sleep MS milliseconds
//   wait NAME  wait (at most a minute) until the named event NAME is set
//   exit CODE  end with exit code CODE (the default is 0)
//   crash X    end by an access violation that nothing handles
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/runner/child_output.h"

namespace {

void WriteAll(DWORD which, const std::string& bytes) {
    const HANDLE h = GetStdHandle(which);
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD wrote = 0;
        if (!WriteFile(h, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &wrote, nullptr) ||
            wrote == 0)
            ExitProcess(90);
        done += wrote;
    }
}

std::string FromHex(const char* hex) {
    std::string out;
    for (std::size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
        const char pair[3] = {hex[i], hex[i + 1], 0};
        out.push_back(static_cast<char>(std::strtoul(pair, nullptr, 16)));
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string step = argv[i];
        const char* value = argv[i + 1];
        if (step == "out")
            WriteAll(STD_OUTPUT_HANDLE, tess::testing::Pattern(std::strtoul(value, nullptr, 10)));
        else if (step == "text")
            WriteAll(STD_OUTPUT_HANDLE, value);
        else if (step == "err")
            WriteAll(STD_ERROR_HANDLE, value);
        else if (step == "hex")
            WriteAll(STD_OUTPUT_HANDLE, FromHex(value));
        else if (step == "sleep")
            Sleep(std::strtoul(value, nullptr, 10));
        else if (step == "wait") {
            const HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, value);
            if (!event) return 92;
            WaitForSingleObject(event, 60000);
            CloseHandle(event);
        }
        else if (step == "exit")
            return std::atoi(value);
        else if (step == "crash")
            RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
        else
            return 91;
    }
    return 0;
}
