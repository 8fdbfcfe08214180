// The one place that decides which Node16 search runs.  The processor is
// asked once (the first search, or the first explicit query); the answer
// is cached in detect_node16_path's static and the function pointer in
// g_node16_search, so a search costs one relaxed load and one call.
#include <string>

#include "node16_paths.hpp"
#include "art/node16_simd.hpp"
#include "sync/panic.hpp"

namespace netrove::art {

namespace detail {
std::atomic<Node16SearchFn> g_node16_search{nullptr};
}  // namespace detail

const char* node16_path_name(Node16Path path) noexcept {
  switch (path) {
    case Node16Path::avx2: return "avx2";
    case Node16Path::sse41: return "sse4.1";
    case Node16Path::scalar: return "scalar";
  }
  return "unknown";
}

bool node16_path_supported(Node16Path path) noexcept {
  // The processor's feature report, read once per process.
  static const bool has_avx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2") != 0);
  static const bool has_sse41 = (__builtin_cpu_init(), __builtin_cpu_supports("sse4.1") != 0);
  switch (path) {
    case Node16Path::avx2: return has_avx2;
    case Node16Path::sse41: return has_sse41;
    case Node16Path::scalar: return true;
  }
  return false;
}

Node16Path detect_node16_path() noexcept {
  static const Node16Path best = node16_path_supported(Node16Path::avx2)    ? Node16Path::avx2
                                 : node16_path_supported(Node16Path::sse41) ? Node16Path::sse41
                                                                            : Node16Path::scalar;
  return best;
}

Node16SearchFn node16_search_fn(Node16Path path) noexcept {
  switch (path) {
    case Node16Path::avx2: return &node16_search_avx2;
    case Node16Path::sse41: return &node16_search_sse41;
    case Node16Path::scalar: return &node16_search_scalar;
  }
  return &node16_search_scalar;
}

Node16Path active_node16_path() noexcept {
  const Node16SearchFn fn = detail::select_node16_search();
  if (fn == &node16_search_avx2) return Node16Path::avx2;
  if (fn == &node16_search_sse41) return Node16Path::sse41;
  return Node16Path::scalar;
}

void force_node16_path(Node16Path path) {
  if (!node16_path_supported(path))
    panic(std::string("the processor cannot run the ") + node16_path_name(path) + " Node16 search");
  detail::g_node16_search.store(node16_search_fn(path), std::memory_order_relaxed);
}

Node16SearchFn detail::select_node16_search() noexcept {
  Node16SearchFn fn = g_node16_search.load(std::memory_order_relaxed);
  if (fn != nullptr) return fn;
  // Several threads may get here at once; they all store the same pointer,
  // unless a forced path got in first, which then stays.
  Node16SearchFn expected = nullptr;
  const Node16SearchFn chosen = node16_search_fn(detect_node16_path());
  if (g_node16_search.compare_exchange_strong(expected, chosen, std::memory_order_relaxed)) return chosen;
  return expected;
}

}  // namespace netrove::art
