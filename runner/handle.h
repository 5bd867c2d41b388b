// Owns one kernel handle and closes it when it goes out of scope.
#pragma once

#include <windows.h>

#include <utility>

namespace tess {

class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE h) noexcept : h_(Valid(h) ? h : nullptr) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : h_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    HANDLE get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != nullptr; }

    // Closes the handle held so far and takes h (null and INVALID_HANDLE_VALUE mean none).
    void reset(HANDLE h = nullptr) noexcept {
        if (h_) CloseHandle(h_);
        h_ = Valid(h) ? h : nullptr;
    }
    HANDLE release() noexcept { return std::exchange(h_, nullptr); }

    // For calls that fill in a handle: closes the current one first.
    HANDLE* put() noexcept {
        reset();
        return &h_;
    }

private:
    static bool Valid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    HANDLE h_ = nullptr;
};

}  // namespace tess
