#pragma once
// Ownership of the replies and other buffers xcb hands out with malloc. Header-only, so that the
// capture backend (plain C++, no Qt) and the Qt-side X11 helpers share it without linking each
// other. Any thread: a reply is owned by whoever holds the pointer.

#include <cstdlib>
#include <memory>

namespace velurio::x11 {

struct XCBFree {
    void operator()(void* p) const noexcept { std::free(p); }
};

// An xcb reply (or any buffer xcb allocates), freed when it goes out of scope.
template <class T>
using XCBReply = std::unique_ptr<T, XCBFree>;

}  // namespace velurio::x11
