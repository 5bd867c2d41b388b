// The shell calls the program makes, replaceable so that tests record them instead of
// opening folder dialogs, Explorer windows or a browser.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shellapi.h>

#include <functional>
#include <type_traits>

#include "core/scoped_win.h"

namespace tess {

struct ShellCalls {
    std::function<PIDLIST_ABSOLUTE(BROWSEINFOA*)> browseForFolder;
    std::function<BOOL(PCIDLIST_ABSOLUTE, char*)> getPathFromIDList;
    std::function<HINSTANCE(HWND, const char* verb, const char* file, const char* parameters,
                            const char* directory, int show)>
        shellExecute;

    // SHBrowseForFolderA, SHGetPathFromIDListA and ShellExecuteA of shell32.
    static ShellCalls System() {
        return {[](BROWSEINFOA* bi) { return SHBrowseForFolderA(bi); },
                [](PCIDLIST_ABSOLUTE pidl, char* path) { return SHGetPathFromIDListA(pidl, path); },
                [](HWND owner, const char* verb, const char* file, const char* parameters,
                   const char* directory, int show) {
                    return ShellExecuteA(owner, verb, file, parameters, directory, show);
                }};
    }
};

// The calls in use, program-wide; the system's until a test replaces them.
inline ShellCalls& Shell() {
    static ShellCalls calls = ShellCalls::System();
    return calls;
}

// An item-identifier list the shell allocated for us.
using UniqueIdList = CoTaskMemory<std::remove_pointer_t<PIDLIST_ABSOLUTE>>;

}  // namespace tess
