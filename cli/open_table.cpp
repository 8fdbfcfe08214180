// The TABLE operand (open_table.hpp): the three cases, numbered as there.
#include "open_table.hpp"

#include <algorithm>
#include <stdexcept>

#include "netrove/factory.hpp"
#include "netrove/load.hpp"
#include "progress_bar.hpp"

namespace netrove::cli {

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
  LoadOptions options;
  options.source_name = table;
  ProgressBar bar(table);
  LoadedTable loaded = read_table(*load_input_of_bytes(file.bytes()), options, bar.callback());
  loaded.put_in_order();
  out.prefixes = std::move(loaded.prefixes);
  out.records = std::move(loaded.records);
  out.format = "source";
  return out;
}

}  // namespace netrove::cli
