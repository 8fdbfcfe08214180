// The TABLE operand (open_table.hpp): the three cases, numbered as there.
#include "open_table.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "netrove/factory.hpp"
#include "netrove/load.hpp"
#include "progress_bar.hpp"

namespace netrove::cli {

namespace {

/// Bytes already in memory as a loader's source.
class MemoryInput final : public LoadInput {
 public:
  explicit MemoryInput(std::string_view bytes) : rest_(bytes), size_(bytes.size()) {}
  std::size_t read(char* buffer, std::size_t n) override {
    n = std::min(n, rest_.size());
    std::memcpy(buffer, rest_.data(), n);
    rest_.remove_prefix(n);
    return n;
  }
  std::optional<std::uint64_t> size() const override { return size_; }

 private:
  std::string_view rest_;
  std::uint64_t size_;
};

}  // namespace

bool is_redis_url(const std::string& table) {
  for (const char* scheme : {"redis://", "rediss://", "redis+unix://", "unix://"})
    if (table.starts_with(scheme)) return true;
  return false;
}

std::size_t OpenedTable::distinct_records() const {
  if (file) return static_cast<std::size_t>(file->records);
  std::vector<const StoredRecord*> blocks;
  blocks.reserve(records.size());
  for (const RecordRef& r : records) blocks.push_back(&r.view().stored());
  std::sort(blocks.begin(), blocks.end());
  return static_cast<std::size_t>(std::unique(blocks.begin(), blocks.end()) - blocks.begin());
}

namespace {

/// Lists the entries of `out.engine` into `out`.
void list_engine(OpenedTable& out) {
  const auto* reader = dynamic_cast<const EntryReader*>(out.engine.get());
  if (!reader) throw std::logic_error("the table cannot list its entries");
  std::vector<Entry> all = reader->all();
  out.prefixes.reserve(all.size());
  out.records.reserve(all.size());
  for (Entry& e : all) {
    out.prefixes.push_back(e.prefix);
    out.records.push_back(std::move(e.record));
  }
}

}  // namespace

void take_ordered(LoadedTable& loaded, std::vector<IpPrefix>& prefixes, std::vector<RecordRef>& records) {
  // The sort key of entry `index`: family, network address (as two
  // big-endian words, so that integer order is address order), length;
  // the index breaks ties, so that the last of equal prefixes sorts last.
  struct Key {
    std::uint64_t hi, lo;
    std::uint32_t family_length;
    std::uint32_t index;
  };
  std::vector<Key> keys(loaded.prefixes.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const IpPrefix& p = loaded.prefixes[i];
    const auto net = p.network_address();
    std::uint64_t hi = 0, lo = 0;
    for (int b = 0; b < 8; ++b) hi = hi << 8 | net[b];
    for (int b = 8; b < 16; ++b) lo = lo << 8 | net[b];
    keys[i] = {hi, lo, std::uint32_t{p.family} << 8 | p.length, static_cast<std::uint32_t>(i)};
  }
  auto same_prefix = [](const Key& a, const Key& b) {
    return a.family_length == b.family_length && a.hi == b.hi && a.lo == b.lo;
  };
  std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
    if ((a.family_length >> 8) != (b.family_length >> 8)) return a.family_length < b.family_length;
    if (a.hi != b.hi) return a.hi < b.hi;
    if (a.lo != b.lo) return a.lo < b.lo;
    if (a.family_length != b.family_length) return a.family_length < b.family_length;
    return a.index < b.index;
  });
  prefixes.clear();
  records.clear();
  prefixes.reserve(keys.size());
  records.reserve(keys.size());
  for (std::size_t k = 0; k < keys.size(); ++k) {
    if (k + 1 < keys.size() && same_prefix(keys[k], keys[k + 1])) continue;  // a later one wins
    const std::uint32_t i = keys[k].index;
    prefixes.push_back(loaded.prefixes[i].network());
    records.push_back(std::move(loaded.records[i]));
  }
  loaded = {};
}

OpenedTable open_table(const std::string& table) {
  OpenedTable out;
  // 1.
  if (is_redis_url(table)) {
    EngineConfig config;
    config.enable_redis = true;
    config.write_path_compression = true;
    config.redis_url = table;
    config.follow = false;
    out.engine = create_engine(std::move(config));
    out.format = "redis";
    list_engine(out);
    return out;
  }
  const FileBytes file(table);
  // 2.
  if (looks_like_table_file(file.bytes())) {
    SnapshotContents contents;
    TableFileInfo info;
    if (auto error = read_table_file(file.bytes(), contents, &info))
      throw LoadError(LoadError::Kind::format, table + ": " + *error);
    out.prefixes = std::move(contents.prefixes);
    out.records = std::move(contents.records);
    out.format = "table";
    out.file = info;
    return out;
  }
  // 3.
  MemoryInput input(file.bytes());
  LoadOptions options;
  options.source_name = table;
  ProgressBar bar(table);
  LoadedTable loaded = read_table(input, options, bar.callback());
  take_ordered(loaded, out.prefixes, out.records);
  out.format = "source";
  return out;
}

}  // namespace netrove::cli
