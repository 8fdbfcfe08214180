// netrove info: what a table holds, as key: value lines.
#include "command.hpp"
#include "open_table.hpp"
#include "options.hpp"
#include "output.hpp"

namespace netrove::cli {

namespace {

const CommandSpec kSpec{
    "info",
    "TABLE",
    "Describe TABLE (a table file, any source the loaders read, or a\n"
    "redis:// URL) in key: value lines: format (table, source or redis),\n"
    "ipv4_prefixes, ipv6_prefixes, prefixes, records (distinct records),\n"
    "and for a table file format_version and bytes.  A table file is\n"
    "checked whole first.",
    {},
};

}  // namespace

int run_info(const std::vector<std::string>& args) {
  ParsedArgs a;
  if (!parse_args(kSpec, args, a)) return kExitOk;
  if (a.operands.size() != 1) throw CommandError("info: give exactly one TABLE", true);
  const OpenedTable table = open_table(a.operands[0]);
  std::size_t v4 = 0;
  for (const IpPrefix& p : table.prefixes) v4 += p.family == kIpv4;
  const std::size_t v6 = table.prefixes.size() - v4;
  Output out;
  auto line = [&](const char* key, const std::string& value) {
    out.put(key);
    out.put(": ");
    out.put(value);
    out.put('\n');
  };
  line("format", table.format);
  if (table.file) line("format_version", std::to_string(table.file->version));
  line("ipv4_prefixes", std::to_string(v4));
  line("ipv6_prefixes", std::to_string(v6));
  line("prefixes", std::to_string(v4 + v6));
  line("records", std::to_string(table.distinct_records()));
  if (table.file) line("bytes", std::to_string(table.file->bytes));
  out.flush();
  return kExitOk;
}

}  // namespace netrove::cli
