// read_table, store_table, load_table (netrove/load.hpp).
#include <algorithm>
#include <array>
#include <string>

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
                              {LoadFormat::pfx2as, "pfx2as"},
                              {LoadFormat::table, "table"}};

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

std::string_view load_format_names() noexcept {
  static const std::string names = [] {
    std::string s;
    for (const Named& n : kFormats) s += (s.empty() ? "" : ", ") + std::string(n.name);
    return s;
  }();
  return names;
}

namespace {

/// The network address of `p` as two big-endian words: integer order is
/// address order, and equal networks give equal words.  An IPv4 prefix's
/// sort key is then one word, hi >> 24 | length (network << 8 | length);
/// an IPv6 one the two words and the length.
void network_words(const IpPrefix& p, std::uint64_t& hi, std::uint64_t& lo) noexcept {
  const auto net = p.network_address();
  hi = lo = 0;
  for (int i = 0; i < 8; ++i) hi = hi << 8 | net[i];
  for (int i = 8; i < 16; ++i) lo = lo << 8 | net[i];
}

}  // namespace

std::size_t LoadedTable::distinct_prefixes() const {
  std::vector<std::uint64_t> v4;
  std::vector<std::array<std::uint64_t, 3>> v6;
  for (const IpPrefix& p : prefixes) {
    std::uint64_t hi, lo;
    network_words(p, hi, lo);
    if (p.family == kIpv4) v4.push_back(hi >> 24 | p.length);
    else v6.push_back({hi, lo, p.length});
  }
  // Tables mostly come sorted: then a check replaces the sort.
  if (!std::is_sorted(v4.begin(), v4.end())) std::sort(v4.begin(), v4.end());
  if (!std::is_sorted(v6.begin(), v6.end())) std::sort(v6.begin(), v6.end());
  return static_cast<std::size_t>(std::unique(v4.begin(), v4.end()) - v4.begin()) +
         static_cast<std::size_t>(std::unique(v6.begin(), v6.end()) - v6.begin());
}

void LoadedTable::put_in_order() {
  // The keys of distinct_prefixes, each followed by the entry's index, so
  // that of equal prefixes the last sorts last and is the one kept.
  std::vector<std::array<std::uint64_t, 2>> v4;
  std::vector<std::array<std::uint64_t, 4>> v6;
  for (std::size_t i = 0; i < prefixes.size(); ++i) {
    std::uint64_t hi, lo;
    network_words(prefixes[i], hi, lo);
    if (prefixes[i].family == kIpv4) v4.push_back({hi >> 24 | prefixes[i].length, i});
    else v6.push_back({hi, lo, prefixes[i].length, i});
  }
  if (!std::is_sorted(v4.begin(), v4.end())) std::sort(v4.begin(), v4.end());
  if (!std::is_sorted(v6.begin(), v6.end())) std::sort(v6.begin(), v6.end());
  LoadedTable out;
  out.prefixes.reserve(v4.size() + v6.size());
  out.records.reserve(v4.size() + v6.size());
  auto keep = [&](const auto& keys) {
    for (std::size_t k = 0; k < keys.size(); ++k) {
      const auto& key = keys[k];
      if (k + 1 < keys.size() && std::equal(key.begin(), key.end() - 1, keys[k + 1].begin())) continue;
      const std::size_t i = static_cast<std::size_t>(key.back());
      out.prefixes.push_back(prefixes[i].network());
      out.records.push_back(std::move(records[i]));
    }
  };
  keep(v4);
  keep(v6);
  *this = std::move(out);
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
    case LoadFormat::table: load::read_table_file(lines, table); break;
    case LoadFormat::mmdb: load::read_mmdb(lines, options, table, options.format == LoadFormat::detect); break;
    case LoadFormat::detect: break;
  }
  ticker.finish();  // every reader reads its source to the end
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
