// read_table, store_table, load_table (netrove/load.hpp).
#include <algorithm>
#include <array>

#include "load/readers.hpp"
#include "netrove/load.hpp"

namespace netrove {

namespace {

struct Named {
  LoadFormat format;
  std::string_view name;
};
constexpr Named kFormats[] = {{LoadFormat::csv, "csv"},
                              {LoadFormat::ipasn, "ipasn"},
                              {LoadFormat::list, "list"},
                              {LoadFormat::mmdb, "mmdb"},
                              {LoadFormat::mrt, "mrt"},
                              {LoadFormat::pfx2as, "pfx2as"}};

/// Options that the format does not take are refused, not ignored.
void check_options(LoadFormat f, const LoadOptions& o) {
  auto refuse = [&](const char* option) {
    throw LoadError(LoadError::Kind::option,
                    std::string(option) + "= does not apply to the " + std::string(load_format_name(f)) + " format");
  };
  if (f != LoadFormat::csv) {
    if (o.attributes && f != LoadFormat::mmdb) refuse("attributes");
    if (o.network) refuse("network");
    if (o.start) refuse("start");
    if (o.end) refuse("end");
    if (o.value && f != LoadFormat::list && f != LoadFormat::mmdb) refuse("value");
  }
}

}  // namespace

std::optional<LoadFormat> load_format_named(std::string_view name) noexcept {
  for (const Named& n : kFormats)
    if (n.name == name) return n.format;
  return std::nullopt;
}

std::string_view load_format_name(LoadFormat format) noexcept {
  for (const Named& n : kFormats)
    if (n.format == format) return n.name;
  return "detect";
}

std::string_view load_format_names() noexcept { return "csv, ipasn, list, mmdb, mrt, pfx2as"; }

std::size_t LoadedTable::distinct_prefixes() const {
  // family, network address, length: equal networks compare equal.
  std::vector<std::array<std::uint8_t, 18>> keys(prefixes.size());
  for (std::size_t i = 0; i < prefixes.size(); ++i) {
    const IpPrefix& p = prefixes[i];
    const auto net = p.network_address();
    keys[i][0] = p.family;
    std::copy(net.begin(), net.end(), keys[i].begin() + 1);
    keys[i][17] = p.length;
  }
  std::sort(keys.begin(), keys.end());
  return static_cast<std::size_t>(std::unique(keys.begin(), keys.end()) - keys.begin());
}

LoadedTable read_table(LoadInput& input, const LoadOptions& options, const LoadProgress& progress) {
  load::Decompressed in(input, options.source_name);
  load::Ticker ticker(in, progress);
  load::Lines lines(in, ticker);
  const LoadFormat format = options.format == LoadFormat::detect ? load::detect_format(lines) : options.format;
  check_options(format, options);
  LoadedTable table;
  switch (format) {
    case LoadFormat::list: load::read_list(lines, options.value.value_or(""), table); break;
    case LoadFormat::pfx2as: load::read_pfx2as(lines, table); break;
    case LoadFormat::ipasn: load::read_ipasn(lines, table); break;
    case LoadFormat::csv: load::read_csv(lines, options, table); break;
    case LoadFormat::mrt: load::read_mrt(lines, table); break;
    case LoadFormat::mmdb: load::read_mmdb(lines, options, table, options.format == LoadFormat::detect); break;
    case LoadFormat::detect: break;
  }
  // Whatever follows the last entry was read too (a trailing comment).
  std::string_view rest;
  if (format != LoadFormat::mrt && format != LoadFormat::mmdb)
    while (lines.next(rest)) {
    }
  ticker.finish();
  return table;
}

std::size_t store_table(Engine& engine, LoadedTable& table) {
  const std::size_t distinct = table.distinct_prefixes();
  if (table.prefixes.empty()) return 0;
  std::size_t done = 0;
  const InsertResult r = insert_records(engine, table.prefixes.data(), table.records.data(), table.prefixes.size(), &done);
  if (!r.ok()) throw LoadError(LoadError::Kind::format, r.error->message);
  return distinct;
}

std::size_t load_table(Engine& engine, LoadInput& input, const LoadOptions& options, const LoadProgress& progress) {
  LoadedTable table = read_table(input, options, progress);
  return store_table(engine, table);
}

}  // namespace netrove
