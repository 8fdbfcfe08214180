// netrove lookup: the longest stored prefix of each address.
//
//   address<TAB>prefix<TAB>value        a match
//   address<TAB>-<TAB>-                 none
//   --json: {"address":..,"prefix":..,"value":..,"attributes":{..}}, null for the last three
#include <cstring>
#include <memory>

#include "command.hpp"
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

/// Looks addresses up a batch at a time: the texts are kept until the
/// batch is full, then parsed, matched together (RangeTable::match_many
/// overlaps their cache misses) and written in order.
class Lookup {
 public:
  Lookup(const OpenedTable& table, const ParsedArgs& a, Output& out)
      : table_(table),
        ranges_(table.prefixes.data(), table.prefixes.size()),
        json_(a.has("json")),
        unmap_(a.has("unmap")),
        out_(out) {}

  /// Queues `text`; `where` and `number` name it in an error ("line 7",
  /// "argument 2").
  void add(std::string_view text, const char* where, std::uint64_t number) {
    queued_.push_back({texts_.size(), text.size(), where, number});
    texts_.append(text);
    if (queued_.size() == kBatch) finish();
  }

  /// Looks the queued texts up and writes their lines.  Throws CommandError
  /// at the first text that is no address, after the lines before it.
  void finish() {
    const std::size_t n = queued_.size();
    std::size_t good = 0;
    for (; good < n; ++good) {
      const std::optional<IpAddress> a = parse_address(text_of(good));
      if (!a) break;
      addresses_[good] = unmap_ ? unmapped(*a) : *a;
    }
    ranges_.match_many(addresses_, good, found_, prefixes_);
    // The records found, then their blocks, fetched for the whole batch
    // before the first line is written, so that their misses overlap.
    for (std::size_t k = 0; k < good; ++k)
      if (found_[k] != range::RangeTable::npos) __builtin_prefetch(&table_.records[found_[k]]);
    for (std::size_t k = 0; k < good; ++k)
      if (found_[k] != range::RangeTable::npos) __builtin_prefetch(&table_.records[found_[k]].view().stored());
    for (std::size_t k = 0; k < good; ++k) write(text_of(k), found_[k], prefixes_[k]);
    if (good < n) {
      const Queued& q = queued_[good];
      throw CommandError("lookup: " + std::string(q.where) + " " + std::to_string(q.number) + ": '" +
                         std::string(text_of(good)) + "' is not an IP address");
    }
    queued_.clear();
    texts_.clear();
  }

  /// Whether every address written so far had a match.
  bool all_found() const noexcept { return all_found_; }

 private:
  static constexpr std::size_t kBatch = 256;
  struct Queued {
    std::size_t at, size;
    const char* where;
    std::uint64_t number;
  };

  std::string_view text_of(std::size_t k) const { return {texts_.data() + queued_[k].at, queued_[k].size}; }

  void write(std::string_view text, std::size_t i, const IpPrefix& prefix) {
    const bool found = i != range::RangeTable::npos;
    all_found_ &= found;
    if (json_) {
      line_.assign("{\"address\":");
      append_json_string(line_, text);
      if (!found) {
        line_.append(",\"prefix\":null,\"value\":null,\"attributes\":null}\n");
      } else {
        line_.append(",\"prefix\":\"");
        line_ += prefix_field(prefix);  // network form: as items() names it
        line_.append("\",");
        const RecordView record = table_.records[i].view();
        append_record_members(line_, record.value(), record);
        line_.append("}\n");
      }
      out_.put(line_);
      return;
    }
    out_.put(text);
    if (!found) return out_.put("\t-\t-\n");
    line_.assign("\t");
    line_ += prefix_field(prefix);  // network form: as items() names it
    line_.push_back('\t');
    out_.put(line_);
    put_tsv_field(out_, table_.records[i].view().value());
    out_.put('\n');
  }

  const OpenedTable& table_;
  const range::RangeTable ranges_;
  bool json_, unmap_;
  Output& out_;
  bool all_found_ = true;
  std::vector<Queued> queued_;
  std::string texts_;
  IpAddress addresses_[kBatch];
  std::size_t found_[kBatch];
  IpPrefix prefixes_[kBatch];
  std::string line_;
};

}  // namespace

int run_lookup(const std::vector<std::string>& args) {
  ParsedArgs a;
  if (!parse_args(kSpec, args, a)) return kExitOk;
  if (a.operands.empty()) throw CommandError("lookup: no TABLE given", true);
  const OpenedTable table = open_table(a.operands[0]);
  Output out;
  auto lookup = std::make_unique<Lookup>(table, a, out);
  if (a.operands.size() > 1) {
    for (std::size_t i = 1; i < a.operands.size(); ++i) lookup->add(a.operands[i], "argument", i + 1);
  } else {
    InputLines in("-");
    std::string_view line;
    std::uint64_t number = 0;
    for (;;) {
      if (!in.line_ready()) {  // about to wait for input: answer what came so far
        lookup->finish();
        out.flush();
      }
      if (!in.next(line)) break;
      ++number;
      const std::string_view text = trimmed(line);
      if (!text.empty()) lookup->add(text, "line", number);
    }
  }
  lookup->finish();
  out.flush();
  return a.has("strict") && !lookup->all_found() ? kExitNoMatch : kExitOk;
}

}  // namespace netrove::cli
