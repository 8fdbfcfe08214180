// netrove/table_file.hpp - a table saved to a file of its own and opened
// again with one bulk load.
//
// Layout, version 1 (integers little-endian):
//
//   offset  bytes  field
//   0       8      magic "NRVTABLE"
//   8       4      format version (1)
//   12      8      IPv4 prefixes
//   20      8      IPv6 prefixes
//   28      8      body bytes
//   36      4      CRC-32C of bytes 12..36 and of the body
//   40      ...    body: a snapshot (netrove/snapshot.hpp), each distinct
//                  record once, then the prefixes of each family in order
//
// The checksum covers every byte after the version, so a changed count,
// length or body byte is found before the body is parsed; the body is then
// checked whole as a snapshot is, since a checksum proves no good intent.
// A file is written under a temporary name in the same folder, flushed and
// renamed over the target, so a crash leaves the old file or the new one,
// never half of one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "netrove/engine.hpp"
#include "netrove/snapshot.hpp"

namespace netrove {

/// The version this library writes and the newest it reads.
inline constexpr std::uint32_t kTableFileVersion = 1;
/// The bytes a table file begins with.
inline constexpr std::string_view kTableFileMagic = "NRVTABLE";
/// The bytes of the header before the body.
inline constexpr std::size_t kTableFileHeaderBytes = 40;

/// What a table file's header and body say about it.
struct TableFileInfo {
  std::uint32_t version = 0;
  std::uint64_t ipv4_prefixes = 0;
  std::uint64_t ipv6_prefixes = 0;
  std::uint64_t records = 0;  // distinct records
  std::uint64_t bytes = 0;    // of the whole file
};

/// The whole table file of `engine` (header and body) as bytes.  Errors:
/// those of save_snapshot.
std::string table_file_bytes(const Engine& engine);

/// Writes table_file_bytes(engine) to `path`: to a new file beside it, then
/// flushed to disk and renamed over `path` (the folder flushed too).  On any
/// failure the temporary file is removed and `path` is untouched.  Errors:
/// LoadError kind io (netrove/load.hpp) naming the path and the failed
/// step, with the errno; those of save_snapshot.
void save_table_file(const Engine& engine, const std::string& path);

/// Checks `bytes` as a table file and reads its entries into `out`.
/// Returns nothing with `out` filled and `*info` (when given) set, or the
/// reason the bytes are no good table file with `out` left empty:
///   "not a netrove table file (no NRVTABLE magic)",
///   "truncated in the header (12 of 40 bytes)",
///   "truncated: the header announces 5000 body bytes, 1200 follow it",
///   "written by a newer netrove: format version 2 (this one reads 1)",
///   "corrupt: checksum mismatch", "corrupt: 3 bytes after the body",
///   "corrupt: IPv4 entry 7: host bits set" (a body that is no snapshot),
///   "corrupt: the header counts 10 IPv4 prefixes, the body holds 9".
std::optional<std::string> read_table_file(std::string_view bytes, SnapshotContents& out,
                                           TableFileInfo* info = nullptr);

/// Whether `bytes` begin as a table file does (the magic alone).
bool looks_like_table_file(std::string_view bytes) noexcept;

/// The bytes of the file at `path`, held while the object lives: a regular
/// file mapped read-only (no copy), anything else (a pipe, a device) read
/// whole.  Errors: LoadError kind io naming the path and the failed step,
/// with the errno (EISDIR for a folder).
class FileBytes {
 public:
  explicit FileBytes(const std::string& path);
  ~FileBytes();
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;

  std::string_view bytes() const noexcept { return view_; }

 private:
  void* map_ = nullptr;  // the mapping, or null
  std::string read_;     // what was read, when not mapped
  std::string_view view_;
};

}  // namespace netrove
