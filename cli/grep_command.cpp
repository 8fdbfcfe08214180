// netrove grep: the lines that hold an address the table covers.
#include <cstdio>
#include <cstring>
#include <iterator>

#include "address_scan.hpp"
#include "command.hpp"
#include "input_lines.hpp"
#include "netrove/load.hpp"
#include "open_table.hpp"
#include "options.hpp"
#include "output.hpp"
#include "range/range_table.hpp"

namespace netrove::cli {

namespace {

const CommandSpec kSpec{
    "grep",
    "[-v] [-c] [-o] TABLE [FILE...]\n   or: netrove grep [-v] [-c] [-o] (-p PREFIX... | -f FILE) [FILE...]",
    "Print the lines of each FILE (standard input when none, or -) that hold\n"
    "an IPv4 or IPv6 address covered by a prefix of TABLE (a table file, any\n"
    "source the loaders read, or a redis:// URL), or by the prefixes given\n"
    "with -p and -f.  An address counts anywhere in a line where it stands\n"
    "as a whole field: a run of letters, digits, dots and colons (an IPv4\n"
    "address may end at a colon, as before a port; an IPv6 zone such as\n"
    "%eth0 is not part of the address).  With several files each line\n"
    "begins with its file's name and a colon.  Exit status 0 when a line\n"
    "was selected, 1 when none was, 2 on an error.",
    {{'v', "invert-match", nullptr, "select the lines with no covered address (lines without any address too)"},
     {'c', "count", nullptr, "print the number of selected lines instead of the lines"},
     {'o', "only-matching", nullptr, "print each covered address on a line of its own"},
     {'p', "prefix", "PREFIX", "a prefix, address or first-last range to match (repeatable)"},
     {'f', "file", "FILE", "match the prefixes of FILE, one per line (# comments)"}},
};

/// The prefixes of the -p values and the -f file in the list format
/// (address, CIDR or range per line), in order.
std::vector<IpPrefix> pattern_table(const ParsedArgs& a) {
  LoadOptions options;
  options.format = LoadFormat::list;
  LoadedTable all;
  auto add = [&](LoadInput& input, const std::string& name) {
    options.source_name = name;
    LoadedTable table = read_table(input, options);
    if (all.prefixes.empty()) return void(all = std::move(table));
    all.prefixes.insert(all.prefixes.end(), table.prefixes.begin(), table.prefixes.end());
    all.records.insert(all.records.end(), std::make_move_iterator(table.records.begin()),
                       std::make_move_iterator(table.records.end()));
  };
  if (a.has("prefix")) {
    // Each value may hold several patterns, split at commas and blanks.
    std::string text;
    for (const std::string& v : a.values.at("prefix")) {
      for (const char c : v) text.push_back(c == ',' || c == ' ' || c == '\t' ? '\n' : c);
      text.push_back('\n');  // a value ends its last pattern
    }
    add(*load_input_of_bytes(text), "-p");
  }
  if (a.has("file")) add(*open_load_file(a.last("file")), a.last("file"));
  all.put_in_order();
  return std::move(all.prefixes);
}

struct Grep {
  const range::RangeTable& ranges;
  bool invert, count, only;
  bool named;  // prefix each output line with its file's name
  Output& out;

  /// Greps one file; returns the number of selected lines.
  std::uint64_t file(InputLines& in) {
    std::uint64_t selected = 0;
    std::string_view line;
    for (;;) {
      if (!in.line_ready()) out.flush();  // about to wait for input: write what was selected so far
      if (!in.next(line)) break;
      bool covered = false;
      scan_addresses(line, [&](std::string_view text, const IpAddress& a) {
        if (ranges.match(a) == range::RangeTable::npos) return true;
        covered = true;
        if (only && !count) {
          if (named) out.put(in.name()), out.put(':');
          out.put(text);
          out.put('\n');
          return true;  // every covered address of the line
        }
        return false;  // the line is selected: no need to look further
      });
      if (covered == invert) continue;
      ++selected;
      if (count || only) continue;
      if (named) out.put(in.name()), out.put(':');
      out.put(line);
      out.put('\n');
    }
    return selected;
  }
};

}  // namespace

int run_grep(const std::vector<std::string>& args) {
  ParsedArgs a;
  if (!parse_args(kSpec, args, a)) return kExitOk;
  if (a.has("invert-match") && a.has("only-matching"))
    throw CommandError("grep: -o and -v do not go together (-v lines hold no covered address)", true);
  std::vector<std::string> files = a.operands;
  std::vector<IpPrefix> prefixes;
  OpenedTable table;
  if (a.has("prefix") || a.has("file")) {
    prefixes = pattern_table(a);
  } else {
    if (files.empty()) throw CommandError("grep: no TABLE given (or -p PREFIX, -f FILE)", true);
    table = open_table(files.front());
    prefixes = std::move(table.prefixes);
    files.erase(files.begin());
  }
  const range::RangeTable ranges(prefixes.data(), prefixes.size());
  if (files.empty()) files.push_back("-");
  Output out;
  Grep g{ranges, a.has("invert-match"), a.has("count"), a.has("only-matching"), files.size() > 1, out};
  std::uint64_t selected = 0;
  bool failed = false;
  for (const std::string& path : files) {
    std::unique_ptr<InputLines> in;
    try {
      in = std::make_unique<InputLines>(path);
    } catch (const CommandError& e) {
      out.flush();
      std::fprintf(stderr, "netrove: grep: %s\n", e.what());
      failed = true;
      continue;
    }
    const std::uint64_t n = g.file(*in);
    selected += n;
    if (g.count) {
      if (g.named) out.put(in->name()), out.put(':');
      out.put(std::to_string(n));
      out.put('\n');
    }
  }
  out.flush();
  if (failed) return kExitError;
  return selected > 0 ? kExitOk : kExitNoMatch;
}

}  // namespace netrove::cli
