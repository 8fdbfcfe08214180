// load/readers.hpp - the readers of the text formats, one entry point each,
// and what they share.
#pragma once

#include <string>
#include <string_view>

#include "load/lines.hpp"
#include "netrove/load.hpp"

namespace netrove::load {

/// The list format: addresses, CIDRs and ranges, every entry `value`.
void read_list(Lines& lines, const std::string& value, LoadedTable& out);
/// CAIDA's prefix-to-AS files.
void read_pfx2as(Lines& lines, LoadedTable& out);
/// pyasn's ipasn.dat files.
void read_ipasn(Lines& lines, LoadedTable& out);
/// MaxMind DB files (mmdb.cpp); `detected`: the format was guessed, so a
/// source that is no MaxMind DB either is the undetectable-format error.
void read_mmdb(Lines& lines, const LoadOptions& options, LoadedTable& out, bool detected);
/// MRT routing table dumps (mrt.cpp).
void read_mrt(Lines& lines, LoadedTable& out);
/// Whether the first bytes of a source read as an MRT record header.
bool looks_like_mrt(std::string_view head) noexcept;
/// A netrove table file (table_format.cpp).
void read_table_file(Lines& lines, LoadedTable& out);
/// CSV with a header row; the column options of `options`.
void read_csv(Lines& lines, const LoadOptions& options, LoadedTable& out);
/// The format of the text `lines` holds, from its first lines (nothing is
/// taken from `lines`).  Throws LoadError kind format when it cannot tell.
LoadFormat detect_format(Lines& lines);

/// `s` without blanks (space, tab) at either end.
inline std::string_view trim(std::string_view s) noexcept {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

/// `s` quoted for an error message, cut at 80 bytes.
std::string quoted(std::string_view s);

/// A list line without its comment, trimmed (empty for a blank line).
std::string_view list_entry(std::string_view line) noexcept;

/// Appends the prefixes of a list entry (an address, a CIDR or a
/// `first-last` range) to `out`; false when it is none of them, with
/// `why` set when it is a range whose ends are wrong.
bool list_prefixes(std::string_view entry, std::vector<IpPrefix>& out, std::string* why = nullptr);

}  // namespace netrove::load
