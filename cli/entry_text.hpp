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

/// Appends `"value":"...","attributes":{...}`: the record's JSON object
/// (as to_json writes it) without its braces, for a larger object.
void append_record_members(std::string& out, RecordView record);

}  // namespace netrove::cli
