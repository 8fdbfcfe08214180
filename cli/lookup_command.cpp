// netrove lookup: the longest stored prefix of each address.
//
//   address<TAB>prefix<TAB>value        a match
//   address<TAB>-<TAB>-                 none
//   --json: {"address":..,"prefix":..,"value":..,"attributes":{..}}, null for the last three
#include <cstring>

#include "command.hpp"
#include "entry_text.hpp"
#include "input_lines.hpp"
#include "netrove/text.hpp"
#include "open_table.hpp"
#include "options.hpp"
#include "output.hpp"
#include "range/range_table.hpp"
#include "record/json_string.hpp"

namespace netrove::cli {

namespace {

const CommandSpec kSpec{
    "lookup",
    "[--json] [--unmap] [--strict] TABLE [ADDRESS...]",
    "Look each ADDRESS up in TABLE (a table file, any source the loaders\n"
    "read, or a redis:// URL), or with none given one address per line of\n"
    "standard input (blank lines skipped).  One line per address:\n"
    "address<TAB>prefix<TAB>value, or address<TAB>-<TAB>- when no stored\n"
    "prefix covers it; the address as given, backslash, tab and newline in\n"
    "a value written \\\\, \\t and \\n.  A text that is no address is an\n"
    "input error (status 2).",
    {{'j', "json", nullptr, "JSON lines: address, prefix, value, attributes (null when no match)"},
     {'u', "unmap", nullptr, "look an IPv4-mapped IPv6 address (::ffff:a.b.c.d) up as a.b.c.d"},
     {'s', "strict", nullptr, "exit with status 1 when an address has no match"}},
};

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

/// ::ffff:a.b.c.d as a.b.c.d; any other address as it is.
IpAddress unmapped(const IpAddress& a) {
  static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (a.family != kIpv6 || std::memcmp(a.bytes.data(), kMapped, 12) != 0) return a;
  IpAddress v4;
  std::memcpy(v4.bytes.data(), a.bytes.data() + 12, 4);
  return v4;
}

class Lookup {
 public:
  Lookup(const OpenedTable& table, const ParsedArgs& a, Output& out)
      : table_(table),
        ranges_(table.prefixes.data(), table.prefixes.size()),
        json_(a.has("json")),
        unmap_(a.has("unmap")),
        out_(out) {}

  /// Looks `text` up and writes its line; false when nothing covers it.
  /// `where` and `number` name it in an error ("line 7", "argument 2").
  bool one(std::string_view text, const char* where, std::uint64_t number) {
    std::optional<IpAddress> a = parse_address(text);
    if (!a)
      throw CommandError("lookup: " + std::string(where) + " " + std::to_string(number) + ": '" + std::string(text) +
                         "' is not an IP address");
    if (unmap_) *a = unmapped(*a);
    const std::size_t i = ranges_.match(*a);
    const bool found = i != range::RangeTable::npos;
    if (json_) {
      line_.assign("{\"address\":");
      append_json_string(line_, text);
      if (!found) {
        line_.append(",\"prefix\":null,\"value\":null,\"attributes\":null}\n");
      } else {
        line_.append(",\"prefix\":\"");
        append_prefix_text(line_, table_.prefixes[i]);
        line_.append("\",").append(record_members(table_.records[i].view())).append("}\n");
      }
      out_.put(line_);
    } else {
      out_.put(text);
      if (!found) {
        out_.put("\t-\t-\n");
      } else {
        line_.assign("\t");
        append_prefix_text(line_, table_.prefixes[i]);
        line_.push_back('\t');
        out_.put(line_);
        put_tsv_field(out_, table_.records[i].view().value());
        out_.put('\n');
      }
    }
    return found;
  }

 private:
  const OpenedTable& table_;
  const range::RangeTable ranges_;
  bool json_, unmap_;
  Output& out_;
  std::string line_;
};

}  // namespace

int run_lookup(const std::vector<std::string>& args) {
  ParsedArgs a;
  if (!parse_args(kSpec, args, a)) return kExitOk;
  if (a.operands.empty()) throw CommandError("lookup: no TABLE given", true);
  const OpenedTable table = open_table(a.operands[0]);
  Output out;
  Lookup lookup(table, a, out);
  bool all_found = true;
  if (a.operands.size() > 1) {
    for (std::size_t i = 1; i < a.operands.size(); ++i)
      all_found &= lookup.one(a.operands[i], "argument", i + 1);
  } else {
    InputLines in("-");
    std::string_view line;
    std::uint64_t number = 0;
    while (in.next(line)) {
      ++number;
      const std::string_view text = trimmed(line);
      if (!text.empty()) all_found &= lookup.one(text, "line", number);
    }
  }
  out.flush();
  return a.has("strict") && !all_found ? kExitNoMatch : kExitOk;
}

}  // namespace netrove::cli
