// open_table.hpp - the TABLE operand of the subcommands: a table file, any
// source the loaders read (loaded on the fly), or a Redis URL, read into
// its entries in items() order.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "netrove/engine.hpp"
#include "netrove/table_file.hpp"

namespace netrove::cli {

struct OpenedTable {
  /// The entries: IPv4, then IPv6, each in address order with a shorter
  /// prefix first, as items() lists them; records[i] is prefixes[i]'s.
  std::vector<IpPrefix> prefixes;
  std::vector<RecordRef> records;
  std::string format;                 // "table", "source" or "redis"
  std::optional<TableFileInfo> file;  // the header of a table file
  /// The engine a Redis table was read through, kept until the process
  /// ends: tearing it down would only cost time.
  std::unique_ptr<Engine> engine;

  /// The number of distinct records.
  std::size_t distinct_records() const;
};

/// Whether `table` names a Redis server rather than a file: redis://,
/// rediss://, redis+unix:// or unix://.
bool is_redis_url(const std::string& table);

/// Opens `table`:
///   1. a Redis URL: the table in its hash, as from_redis opens it without
///      following (read once, no thread), then listed;
///   2. a file that begins with the table file magic: checked whole, its
///      entries read as they are (already in order, no engine built);
///   3. any other file: read by the loaders with the format detected and
///      put in order (LoadedTable::put_in_order).
/// A progress bar shows on standard error for 3 when it is a terminal.
/// Errors: LoadError (kind io for an unreadable file), StartupError for a
/// Redis server that cannot be read.
OpenedTable open_table(const std::string& table);


}  // namespace netrove::cli
