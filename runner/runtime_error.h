// A run-time error as the program reports and passes it on: a number, the place it
// came from and a description. Handlers that skip a failing statement and go on catch
// it (and anything else) and carry on; clsWaitableTimer re-raises it with a prefix.
#pragma once

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "core/program.h"

namespace tess {

struct RuntimeError {
    long number = 0;
    std::wstring source;
    std::wstring description;
};

// Error numbers for failures that do not come with one of their own.
inline constexpr long kErrInvalidCall = 5;
inline constexpr long kErrOutOfMemory = 7;

// The source given to errors that do not name one: the program.
inline constexpr const wchar_t* kDefaultErrorSource = kProgramTitle;

// Any exception as a RuntimeError: a RuntimeError as it is, std::bad_alloc as
// "Out of memory", another std::exception with its message, anything else as an
// invalid call.
inline RuntimeError ToRuntimeError(std::exception_ptr error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const RuntimeError& e) {
        return e;
    } catch (const std::bad_alloc&) {
        return {kErrOutOfMemory, kDefaultErrorSource, L"Out of memory"};
    } catch (const std::exception& e) {
        std::wstring text;
        for (const char* p = e.what(); *p; ++p) text.push_back(static_cast<unsigned char>(*p));
        return {kErrInvalidCall, kDefaultErrorSource, std::move(text)};
    } catch (...) {
    }
    return {kErrInvalidCall, kDefaultErrorSource, L"Invalid procedure call or argument"};
}

// The same error with its description prefixed, number and source unchanged.
inline RuntimeError Prefixed(RuntimeError error, std::wstring_view prefix) {
    error.description.insert(0, prefix);
    return error;
}

}  // namespace tess
