#include "app/drop_target.h"

#include "core/skip_on_failure.h"

namespace tess {

ComPtr<DropTarget> DropTarget::Create(DragCallback onDrag, DropCallback onDrop) {
    return ComPtr<DropTarget>::Attach(new DropTarget(std::move(onDrag), std::move(onDrop)));
}

DropTarget::DropTarget(DragCallback onDrag, DropCallback onDrop)
    : onDrag_(std::move(onDrag)), onDrop_(std::move(onDrop)) {}

void DropTarget::Detach() {
    onDrag_ = nullptr;
    onDrop_ = nullptr;
}

HRESULT DropTarget::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDropTarget)) {
        *object = static_cast<IDropTarget*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG DropTarget::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

ULONG DropTarget::Release() {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

void DropTarget::Dragged() {
    if (onDrag_) SkipOnFailure(onDrag_);
}

// The effect is left as the drag source offered it.
HRESULT DropTarget::DragEnter(IDataObject*, DWORD, POINTL, DWORD*) {
    Dragged();
    return S_OK;
}

HRESULT DropTarget::DragOver(DWORD, POINTL, DWORD*) {
    Dragged();
    return S_OK;
}

HRESULT DropTarget::DragLeave() {
    Dragged();
    return S_OK;
}

HRESULT DropTarget::Drop(IDataObject* data, DWORD, POINTL, DWORD* effect) {
    if (onDrop_) SkipOnFailure([&] { onDrop_(data, effect); });
    return S_OK;
}

}  // namespace tess
