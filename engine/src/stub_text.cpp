// TEMPORARY skeleton stub, deleted by the change that implements it.
#include "netrove/adaptive_engine.hpp"
#include "netrove/cache.hpp"
#include "netrove/hybrid_engine.hpp"
#include "netrove/metadata.hpp"
#include "netrove/panic.hpp"
#include "netrove/text.hpp"
#include "netrove/trie_engine.hpp"

namespace netrove {
std::optional<IpPrefix> parse_prefix(std::string_view) { panic("stub"); }
std::optional<IpAddress> parse_address(std::string_view) { panic("stub"); }
std::string format_address(std::uint8_t, const std::array<std::uint8_t, 16>&) { panic("stub"); }
std::string prefix_field(const IpPrefix&) { panic("stub"); }


}  // namespace netrove
