// art/node16_simd.hpp - the Node16 key search and its three code
// paths.
//
// A Node16 keeps up to 16 key bytes in slot order (not sorted).  Finding a
// byte is one 16-lane compare: broadcast the byte, compare it with all 16
// keys, turn the lanes into a 16-bit mask, keep the low `num_children` bits
// and take the lowest set bit.  Slots at or beyond num_children may hold
// stale bytes of removed children; the mask drops them.
//
//   keys      [ 0a 11 7f 11 | 22 .. stale .. ]   num_children = 4
//   eq 0x11   [  0  1  0  1 |  0 ..  1  .. ]
//   mask & 0xF = 0b1010  -> lowest set bit -> slot 1
//
// Three implementations compute the same answer, one per instruction set,
// each in its own translation unit compiled for that set:
//
//   avx2    node16_avx2.cpp    vpbroadcastb, pcmpeqb, pmovmskb
//   sse41   node16_sse41.cpp   pshufb with a zero control, pcmpeqb, pmovmskb
//   scalar  node16_scalar.cpp  slot scan, as for a Node4
//
// node16_select.cpp is the one selection point: it asks the processor once
// per process (__builtin_cpu_supports), caches the chosen function and
// serves it to every search.  Tests may force a path.
#pragma once

#include <atomic>
#include <cstdint>

namespace netrove::art {

/// The lowest slot below `num_children` (at most 16) whose key equals
/// `byte`, or -1.  `keys` points at 16 readable bytes.
using Node16SearchFn = int (*)(const std::uint8_t* keys, unsigned num_children, std::uint8_t byte) noexcept;

enum class Node16Path : std::uint8_t { avx2 = 0, sse41 = 1, scalar = 2 };

/// Name of a path: "avx2", "sse4.1" or "scalar".
const char* node16_path_name(Node16Path path) noexcept;

/// Whether this processor can run `path` (scalar: always).
bool node16_path_supported(Node16Path path) noexcept;

/// The best path this processor supports; detected on the first call and
/// cached for the life of the process.
Node16Path detect_node16_path() noexcept;

/// The implementation of `path`, whether or not the processor supports it
/// (callers check node16_path_supported first).
Node16SearchFn node16_search_fn(Node16Path path) noexcept;

/// The path every Node16 search currently uses.
Node16Path active_node16_path() noexcept;

/// Makes every later Node16 search use `path`.  For tests and benchmarks.
/// Panics when the processor does not support it.
void force_node16_path(Node16Path path);

namespace detail {
/// The active implementation; null until the first search selects one.
extern std::atomic<Node16SearchFn> g_node16_search;
Node16SearchFn select_node16_search() noexcept;
}  // namespace detail

/// Searches a Node16's keys with the active path (see Node16SearchFn).
inline int node16_search(const std::uint8_t* keys, unsigned num_children, std::uint8_t byte) noexcept {
  Node16SearchFn fn = detail::g_node16_search.load(std::memory_order_relaxed);
  if (__builtin_expect(fn == nullptr, 0)) fn = detail::select_node16_search();
  return fn(keys, num_children, byte);
}

}  // namespace netrove::art
