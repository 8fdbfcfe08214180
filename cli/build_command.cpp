// netrove build: sources into a table file.
#include "command.hpp"
#include "netrove/factory.hpp"
#include "netrove/load.hpp"
#include "netrove/table_file.hpp"
#include "options.hpp"
#include "progress_bar.hpp"

namespace netrove::cli {

namespace {

const CommandSpec kSpec{
    "build",
    "-o TABLE [--format F] [--value V] [--attributes A,B] [--network COL | --start COL --end COL] SOURCE...",
    "Load every SOURCE (a later one wins where both hold a prefix) and save\n"
    "the table to the table file TABLE, written beside it and renamed over\n"
    "it once complete.  A SOURCE is a file in any format the loaders read\n"
    "(list, pfx2as, ipasn, csv, mrt, mmdb, table; gzip, bzip2 and xz are\n"
    "read through) or - for standard input.  The options apply to every\n"
    "SOURCE.  A progress bar shows on standard error when it is a terminal.",
    {{'o', "output", "TABLE", "the table file to write (required)"},
     {'F', "format", "F", "the sources' format (default: detected from each)"},
     {0, "value", "V", "csv: the value column; list: the value; mmdb: the value path"},
     {0, "attributes", "A,B", "csv: the attribute columns; mmdb: the attribute paths"},
     {0, "network", "COL", "csv: the CIDR column"},
     {0, "start", "COL", "csv: the first address column of a range"},
     {0, "end", "COL", "csv: the last address column of a range"}},
};


LoadOptions options_of(const ParsedArgs& a) {
  LoadOptions o;
  if (a.has("format")) {
    const auto f = load_format_named(a.last("format"));
    if (!f)
      throw CommandError("build: unknown format '" + a.last("format") + "': use one of " +
                             std::string(load_format_names()),
                         true);
    o.format = *f;
  }
  if (a.has("value")) o.value = a.last("value");
  if (a.has("network")) o.network = a.last("network");
  if (a.has("start")) o.start = a.last("start");
  if (a.has("end")) o.end = a.last("end");
  if (a.has("attributes")) {
    o.attributes.emplace();
    const std::string list = a.last("attributes");
    std::size_t from = 0;
    for (;;) {
      const auto comma = list.find(',', from);
      const std::string name = list.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
      if (!name.empty()) o.attributes->push_back(name);
      if (comma == std::string::npos) break;
      from = comma + 1;
    }
  }
  return o;
}

}  // namespace

int run_build(const std::vector<std::string>& args) {
  ParsedArgs a;
  if (!parse_args(kSpec, args, a)) return kExitOk;
  if (!a.has("output")) throw CommandError("build: no output file: give -o TABLE", true);
  if (a.operands.empty()) throw CommandError("build: no SOURCE to load", true);
  const LoadOptions base = options_of(a);
  std::unique_ptr<Engine> engine = create_engine(EngineConfig{});
  for (const std::string& source : a.operands) {
    LoadOptions options = base;
    options.source_name = source == "-" ? "(standard input)" : source;
    std::unique_ptr<LoadInput> input =
        source == "-" ? load_input_of_fd(0, options.source_name) : open_load_file(source);
    ProgressBar bar(options.source_name);
    LoadedTable table = read_table(*input, options, bar.callback());
    store_table(*engine, table);
  }
  save_table_file(*engine, a.last("output"));
  return kExitOk;
}

}  // namespace netrove::cli
