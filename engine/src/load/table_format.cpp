// The table format: a netrove table file (netrove/table_file.hpp) read as
// any other source, so that load() and the command line take saved tables
// beside the files they were built from.  The whole file is read first:
// its checksum covers the body, and nothing is taken from it before the
// checksum is known to match.
#include <string>

#include "load/readers.hpp"
#include "netrove/table_file.hpp"

namespace netrove::load {

void read_table_file(Lines& lines, LoadedTable& out) {
  std::string bytes;
  for (;;) {
    const std::string_view chunk = lines.take(1 << 20);
    if (chunk.empty()) break;
    bytes.append(chunk);
  }
  SnapshotContents contents;
  if (auto error = netrove::read_table_file(bytes, contents))
    throw LoadError(LoadError::Kind::format, lines.name() + ": " + *error);
  out.prefixes = std::move(contents.prefixes);
  out.records = std::move(contents.records);
}

}  // namespace netrove::load
