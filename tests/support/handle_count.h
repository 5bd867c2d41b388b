// How many handles this test program holds, for the checks that runs leave none behind.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <vector>

namespace tess::testing {

namespace detail {

// The size of this process's handle table as the system's process list gives it
// (SystemProcessInformation's HandleCount: Wine puts the table's capacity there, which
// bounds every handle value in it); 0 when it cannot be read.
inline ULONG HandleTableBound() {
    using Query = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return 0;
    constexpr int kSystemProcessInformation = 5;
    std::vector<unsigned char> buffer(1 << 18);
    for (int attempt = 0; attempt < 6; ++attempt) {
        ULONG needed = 0;
        const LONG status = query(kSystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) {
            for (size_t at = 0; at + sizeof(SYSTEM_PROCESS_INFORMATION) <= buffer.size();) {
                SYSTEM_PROCESS_INFORMATION entry;
                std::memcpy(&entry, buffer.data() + at, sizeof entry);
                if (reinterpret_cast<ULONG_PTR>(entry.UniqueProcessId) == GetCurrentProcessId())
                    return entry.HandleCount;
                if (entry.NextEntryOffset == 0) break;
                at += entry.NextEntryOffset;
            }
            return 0;
        }
        buffer.resize(buffer.size() * 4);
    }
    return 0;
}

}  // namespace detail

// Windows counts a process's handles (GetProcessHandleCount). Wine reports 0 there, so
// every value its table can hold is asked about on its own (GetHandleInformation),
// which reads this process's table only. Not the system-wide handle list: Wine 8.0's
// server crashes now and then while it walks every process's handles as processes
// come and go, and every program connected to it then waits for ever.
inline DWORD OwnHandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) return count;
    ULONG bound = detail::HandleTableBound();
    if (bound == 0) bound = 1 << 14;
    count = 0;
    for (ULONG i = 1; i <= bound; ++i) {
        DWORD flags = 0;
        count += GetHandleInformation(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(i) * 4), &flags) != FALSE;
    }
    return count;
}

}  // namespace tess::testing
