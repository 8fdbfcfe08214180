// entry_text.hpp - the texts the subcommands write for entries: a prefix
// as items() names it, and a record as JSON members.
#pragma once

#include <string>

#include "netrove/record.hpp"
#include "netrove/types.hpp"

namespace netrove::cli {

/// "10.0.0.0/8", "2001:db8::/32": the network address and the length.
std::string prefix_text(const IpPrefix& prefix);
/// The same appended to `out` (an IPv4 prefix without a temporary string).
void append_prefix_text(std::string& out, const IpPrefix& prefix);

/// `"value":"...","attributes":{...}`: the record's JSON object without its
/// braces, for splicing into a larger object.
std::string record_members(RecordView record);

}  // namespace netrove::cli
