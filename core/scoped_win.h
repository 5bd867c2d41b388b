// One small owner per kind of Windows resource the program holds: each gives back what it
// holds when it goes out of scope. Kernel handles, GDI objects, device contexts, COM
// references, LocalAlloc and CoTaskMemAlloc memory, and storage media.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <ole2.h>
#include <unknwn.h>

#include <memory>
#include <utility>

namespace tess {

// A kernel handle, closed with CloseHandle. Null and INVALID_HANDLE_VALUE both mean none.
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

    // Closes the handle held so far and takes h.
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

// An HFONT, HBRUSH, HBITMAP or other GDI object, deleted with DeleteObject.
template <class T>
class GdiObject {
public:
    GdiObject() noexcept = default;
    explicit GdiObject(T h) noexcept : h_(h) {}
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;
    GdiObject(GdiObject&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
    GdiObject& operator=(GdiObject&& o) noexcept {
        if (this != &o) reset(std::exchange(o.h_, nullptr));
        return *this;
    }
    ~GdiObject() { reset(); }

    T get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != nullptr; }
    void reset(T h = nullptr) noexcept {
        if (h_) DeleteObject(h_);
        h_ = h;
    }

private:
    T h_ = nullptr;
};

using FontObject = GdiObject<HFONT>;
using BrushObject = GdiObject<HBRUSH>;
using BitmapObject = GdiObject<HBITMAP>;

// A window's device context (the screen's for no window), released on scope exit.
class WindowDC {
public:
    explicit WindowDC(HWND window = nullptr) noexcept : window_(window), dc_(GetDC(window)) {}
    WindowDC(const WindowDC&) = delete;
    WindowDC& operator=(const WindowDC&) = delete;
    ~WindowDC() {
        if (dc_) ReleaseDC(window_, dc_);
    }
    HDC get() const noexcept { return dc_; }

private:
    HWND window_;
    HDC dc_;
};

// A memory device context compatible with `dc`, deleted on scope exit.
class MemoryDC {
public:
    explicit MemoryDC(HDC dc) noexcept : dc_(CreateCompatibleDC(dc)) {}
    MemoryDC(const MemoryDC&) = delete;
    MemoryDC& operator=(const MemoryDC&) = delete;
    ~MemoryDC() {
        if (dc_) DeleteDC(dc_);
    }
    HDC get() const noexcept { return dc_; }

private:
    HDC dc_;
};

// A window's device context for one WM_PAINT: BeginPaint, and EndPaint on scope exit.
class PaintScope {
public:
    explicit PaintScope(HWND hwnd) noexcept : hwnd_(hwnd) { dc_ = BeginPaint(hwnd, &ps_); }
    PaintScope(const PaintScope&) = delete;
    PaintScope& operator=(const PaintScope&) = delete;
    ~PaintScope() { EndPaint(hwnd_, &ps_); }
    HDC dc() const noexcept { return dc_; }

private:
    HWND hwnd_;
    PAINTSTRUCT ps_{};
    HDC dc_ = nullptr;
};

// An object selected into a device context; the previous one goes back on scope exit.
class SelectScope {
public:
    SelectScope(HDC dc, HGDIOBJ obj) noexcept : dc_(dc), old_(dc && obj ? SelectObject(dc, obj) : nullptr) {}
    SelectScope(const SelectScope&) = delete;
    SelectScope& operator=(const SelectScope&) = delete;
    ~SelectScope() {
        if (old_) SelectObject(dc_, old_);
    }

private:
    HDC dc_;
    HGDIOBJ old_;
};

// One reference to a COM object.
template <class I>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(const ComPtr& o) noexcept : p_(o.p_) {
        if (p_) p_->AddRef();
    }
    ComPtr& operator=(ComPtr o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~ComPtr() {
        if (p_) p_->Release();
    }
    // Takes over a reference the caller already owns.
    static ComPtr Attach(I* p) noexcept {
        ComPtr c;
        c.p_ = p;
        return c;
    }
    I* get() const noexcept { return p_; }
    I* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // For calls that hand out a new reference.
    I** put() noexcept {
        *this = ComPtr();
        return &p_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

private:
    I* p_ = nullptr;
};

// Memory the system allocated with LocalAlloc for us (FormatMessage's buffer), freed with
// LocalFree.
struct LocalFreer {
    void operator()(void* p) const noexcept { LocalFree(p); }
};
template <class T>
using LocalMemory = std::unique_ptr<T, LocalFreer>;

// Memory the shell or COM allocated with CoTaskMemAlloc for us (an item-identifier list),
// freed with CoTaskMemFree.
struct CoTaskMemFreer {
    void operator()(void* p) const noexcept { CoTaskMemFree(p); }
};
template <class T>
using CoTaskMemory = std::unique_ptr<T, CoTaskMemFreer>;

// A storage medium IDataObject::GetData filled in, released with ReleaseStgMedium.
class StgMedium {
public:
    StgMedium() noexcept = default;
    StgMedium(const StgMedium&) = delete;
    StgMedium& operator=(const StgMedium&) = delete;
    ~StgMedium() {
        if (medium_.tymed != TYMED_NULL) ReleaseStgMedium(&medium_);
    }
    STGMEDIUM* put() noexcept { return &medium_; }
    const STGMEDIUM& get() const noexcept { return medium_; }

private:
    STGMEDIUM medium_{};
};

}  // namespace tess
