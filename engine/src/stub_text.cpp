// TEMPORARY skeleton stub, deleted by the change that implements it.
#include "netrove/adaptive_engine.hpp"
#include "netrove/cache.hpp"
#include "netrove/hybrid_engine.hpp"
#include "netrove/metadata.hpp"
#include "netrove/panic.hpp"
#include "netrove/text.hpp"
#include "netrove/trie_engine.hpp"

namespace netrove {
SeededStringHash::SeededStringHash() : seed(0) {}
std::size_t SeededStringHash::operator()(std::string_view s) const noexcept {
  std::uint64_t h = seed ^ 1469598103934665603ull;
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  return h;
}
std::string to_json(const Metadata&) { panic("stub"); }
std::optional<Metadata> from_json(std::string_view) { panic("stub"); }
std::optional<IpPrefix> parse_prefix(std::string_view) { panic("stub"); }
std::optional<IpAddress> parse_address(std::string_view) { panic("stub"); }
std::string format_address(std::uint8_t, const std::array<std::uint8_t, 16>&) { panic("stub"); }
std::string prefix_field(const IpPrefix&) { panic("stub"); }


}  // namespace netrove
