// netrove export: every entry of a table, in items() order.
#include "command.hpp"
#include "open_table.hpp"
#include "netrove/text.hpp"
#include "options.hpp"
#include "output.hpp"
#include "record/json_string.hpp"

namespace netrove::cli {

namespace {

const CommandSpec kSpec{
    "export",
    "[--format csv|jsonl|list] TABLE",
    "Write every prefix of TABLE (a table file, any source the loaders\n"
    "read, or a redis:// URL) with its record, IPv4 then IPv6, each in\n"
    "address order with a shorter prefix first:\n"
    "  csv    a header row, then prefix,value,attributes rows (RFC 4180\n"
    "         quoting; the attributes as compact JSON)\n"
    "  jsonl  one object per line: prefix, value, attributes\n"
    "  list   the prefixes alone, one per line",
    {{'F', "format", "FORMAT", "csv (the default), jsonl or list"}},
};

/// `field` as one CSV field: quoted when it holds a comma, a quote or a
/// line break, its quotes doubled.
void put_csv_field(Output& out, std::string_view field) {
  if (field.find_first_of(",\"\r\n") == std::string_view::npos) return out.put(field);
  out.put('"');
  for (const char c : field) {
    if (c == '"') out.put('"');
    out.put(c);
  }
  out.put('"');
}


}  // namespace

int run_export(const std::vector<std::string>& args) {
  ParsedArgs a;
  if (!parse_args(kSpec, args, a)) return kExitOk;
  if (a.operands.size() != 1) throw CommandError("export: give exactly one TABLE", true);
  const std::string format = a.last("format", "csv");
  if (format != "csv" && format != "jsonl" && format != "list")
    throw CommandError("export: unknown format '" + format + "': use csv, jsonl or list", true);
  const OpenedTable table = open_table(a.operands[0]);
  Output out;
  if (format == "csv") out.put("prefix,value,attributes\n");
  for (std::size_t i = 0; i < table.prefixes.size(); ++i) {
    const std::string prefix = prefix_field(table.prefixes[i]);  // network form: as items() names it
    const RecordView record = table.records[i].view();
    if (format == "list") {
      out.put(prefix);
    } else if (format == "csv") {
      out.put(prefix);
      out.put(',');
      put_csv_field(out, record.value());
      out.put(',');
      std::string json;
      append_attributes_json(json, record);  // compact, in stored order
      put_csv_field(out, json);
    } else {
      std::string json = "{\"prefix\":\"" + prefix + "\",";
      append_record_members(json, record.value(), record);
      json.push_back('}');
      out.put(json);
    }
    out.put('\n');
  }
  out.flush();
  return kExitOk;
}

}  // namespace netrove::cli
