// sync/scratch.hpp - large transient arrays that give their memory back.
//
// A bulk load of a million prefixes sorts tens of megabytes of keys and
// drops them when it returns.  From malloc, such a buffer stays in the heap
// once freed (glibc raises its mmap threshold after the first large free,
// so later ones come from the heap and are kept for reuse), and the
// process's resident size stays above what its tables hold.  ScratchAlloc
// maps buffers of kMapAt bytes or more straight from the system and unmaps
// them when freed; smaller ones come from operator new as usual.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <new>
#include <vector>

namespace netrove {

template <class T>
struct ScratchAlloc {
  using value_type = T;
  static constexpr std::size_t kMapAt = std::size_t{1} << 20;

  ScratchAlloc() noexcept = default;
  template <class U>
  ScratchAlloc(const ScratchAlloc<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kMapAt) return static_cast<T*>(::operator new(bytes, std::align_val_t{alignof(T)}));
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kMapAt) ::operator delete(p, std::align_val_t{alignof(T)});
    else ::munmap(p, bytes);
  }
  template <class U>
  friend bool operator==(const ScratchAlloc&, const ScratchAlloc<U>&) noexcept { return true; }
};

/// A vector whose large buffers go back to the system when freed.
template <class T>
using ScratchVector = std::vector<T, ScratchAlloc<T>>;

}  // namespace netrove
