// entry_text.hpp - the text the subcommands write for an entry's prefix,
// as items() names it.
#pragma once

#include <string>

#include "netrove/types.hpp"

namespace netrove::cli {

/// "10.0.0.0/8", "2001:db8::/32": the network address and the length.
std::string prefix_text(const IpPrefix& prefix);
/// The same appended to `out` (an IPv4 prefix without a temporary string).
void append_prefix_text(std::string& out, const IpPrefix& prefix);


}  // namespace netrove::cli
