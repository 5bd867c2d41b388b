#include "tools/convert/last_resort.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <typeinfo>

#include "tools/convert/image.h"

namespace conv {

namespace {

std::string reportedName;                 // set once, before any thread starts
std::atomic<const Path*> partial{nullptr};  // the OutFile's own temp_ member

// Without allocating: memory may be what ran out.
void removePartial() {
    const Path* p = partial.exchange(nullptr);
    if (!p) return;
#ifdef _WIN32
    _wremove(p->c_str());
#else
    std::remove(p->c_str());
#endif
}

// Runs with little memory left, when even unwinding may have failed: it asks for
// the exception's type rather than rethrowing it.
[[noreturn]] void onTerminate() {
    int code = kExitInput;
    const char* what = "the conversion failed inside a library";
    const std::type_info* type = abi::__cxa_current_exception_type();
    if (type && (*type == typeid(std::bad_alloc) || *type == typeid(std::bad_array_new_length))) {
        code = kExitLimit;
        what = "out of memory";
    }
    removePartial();
    std::fprintf(stderr, "convert: %s%s%s\n", reportedName.c_str(), reportedName.empty() ? "" : ": ", what);
    std::fflush(stderr);
    std::_Exit(code);
}

}  // namespace

void armLastResort(const Path& input) {
    reportedName = toUtf8(input);
    std::set_terminate(onTerminate);
    static const bool atExit = std::atexit(removePartial) == 0;
    (void)atExit;
}

void lastResortWriting(const Path& temp) { partial.store(&temp); }

void lastResortWritten() { partial.store(nullptr); }

}  // namespace conv
