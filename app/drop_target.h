// The window's OLE drop target: every drag notification (enter, over, leave) goes to one
// callback, the drop itself to another. The dragged data is not examined here.
#pragma once

#include <windows.h>
#include <oleidl.h>

#include <functional>

#include "core/scoped_win.h"

namespace tess {

class DropTarget final : public IDropTarget {
public:
    using DragCallback = std::function<void()>;
    using DropCallback = std::function<void(IDataObject* data, DWORD* effect)>;

    // A new object; the caller holds its first reference.
    static ComPtr<DropTarget> Create(DragCallback onDrag, DropCallback onDrop);
    // Forgets both callbacks, for when their owner goes away before the last reference.
    void Detach();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE DragEnter(IDataObject* data, DWORD keys, POINTL pt, DWORD* effect) override;
    HRESULT STDMETHODCALLTYPE DragOver(DWORD keys, POINTL pt, DWORD* effect) override;
    HRESULT STDMETHODCALLTYPE DragLeave() override;
    HRESULT STDMETHODCALLTYPE Drop(IDataObject* data, DWORD keys, POINTL pt, DWORD* effect) override;

private:
    DropTarget(DragCallback onDrag, DropCallback onDrop);
    ~DropTarget() = default;
    void Dragged();

    LONG refs_ = 1;
    DragCallback onDrag_;
    DropCallback onDrop_;
};

}  // namespace tess
