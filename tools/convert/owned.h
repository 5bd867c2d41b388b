// Owned<release>: a std::unique_ptr to what a C library hands out, freed by that
// library's own release function, e.g.
//     Owned<heif_context_free> ctx(heif_context_alloc());
// The pointee type comes from the function's parameter (const dropped, so that
// heif_image_release(const heif_image*) owns a heif_image). The function is
// called only for a non-null pointer.
#pragma once

#include <memory>
#include <type_traits>

namespace conv {

namespace owned_detail {

template <auto Release>
struct Traits;
template <class T, class R, R (*Release)(T*)>
struct Traits<Release> {
    using Type = std::remove_const_t<T>;
};
template <class T, class R, R (*Release)(T*) noexcept>
struct Traits<Release> {
    using Type = std::remove_const_t<T>;
};

template <auto Release>
struct Deleter {
    void operator()(typename Traits<Release>::Type* p) const noexcept { Release(p); }
};

}  // namespace owned_detail

template <auto Release>
using Owned = std::unique_ptr<typename owned_detail::Traits<Release>::Type, owned_detail::Deleter<Release>>;

}  // namespace conv
