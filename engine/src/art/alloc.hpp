// Node storage for the adaptive radix tree.  A failed allocation ends the
// process: the tree is changed in place under its engine's write lock, and
// an exception in the middle of a change would leave it half-built.
#pragma once

#include <cstdlib>
#include <new>
#include <utility>

namespace netrove::art {

inline void* art_alloc(std::size_t bytes) noexcept {
  void* p = ::operator new(bytes, std::nothrow);
  if (p == nullptr) std::abort();
  return p;
}

inline void art_free(void* p) noexcept { ::operator delete(p); }

/// Constructs a T in fresh storage; aborts when there is none.
template <class T, class... Args>
T* art_new(Args&&... args) noexcept {
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "node kinds need no over-aligned storage");
  return ::new (art_alloc(sizeof(T))) T(std::forward<Args>(args)...);
}

template <class T>
void art_delete(T* p) noexcept {
  p->~T();
  art_free(p);
}

}  // namespace netrove::art
