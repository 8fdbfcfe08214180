// netrove/load.hpp - tables from the files people already have.
//
// One call reads a whole source (a file, or any byte stream), compressed
// with gzip, bzip2 or xz or not, in one of the formats below, and turns it
// into prefixes and stored records; load_table then stores them in an
// engine with one bulk load (RecordWriter::insert_records), so an equal
// prefix replaces the stored one and later lines win over earlier ones.
// Nothing is stored unless the whole source parsed.
//
//   format   input                                   value / attributes
//   ------   -----                                   ------------------
//   list     address, CIDR or first-last range a     `value` option (default "") / none
//            line; '#' and ';' comments
//   pfx2as   network<TAB>length<TAB>origins          first '_'-separated origin /
//                                                    origins = the field as written
//   ipasn    ';' comments, then prefix/len<TAB>asn   as pfx2as
//   csv      header row, then RFC 4180 rows, ','     `value` column (default: the first
//            or TAB; a network column or start/end   other) / the other columns, or the
//            columns of a range                      `attributes` columns
//   mrt      BGP RIB dumps (TABLE_DUMP_V2 with        the origin AS most entries carry /
//            ADD-PATH, TABLE_DUMP)                    origins (every one, most carried
//                                                     first), peers (entries)
//   mmdb     MaxMind DB files (libmaxminddb)          `value` path (default country or
//                                                     ASN) / `attributes` paths (default
//                                                     every leaf, dotted keys)
//   table    netrove table files (table_file.hpp)    as saved
//
//   source --> Decompressed (magic bytes: gzip, bzip2, xz, or none)
//          --> detect (first bytes, when no format is given)
//          --> the format's reader: (prefix, record) per entry
//          --> LoadedTable --> load_table: one bulk load
//
// Errors.  A malformed line raises LoadError(kind format) whose text names
// the source and the line ("feed.txt:17: bad prefix length '33'"), or the
// byte offset in a binary format ("rib.mrt: at byte 4096: ..."); a failed
// read raises LoadError(kind io) with the errno.  Both leave the engine
// untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "netrove/engine.hpp"
#include "netrove/record.hpp"
#include "netrove/types.hpp"

namespace netrove {

/// The formats a source can be read as; `detect` guesses from its content.
enum class LoadFormat : std::uint8_t { detect, list, pfx2as, ipasn, csv, mrt, mmdb, table };

/// The format named `name` ("list", "pfx2as", "ipasn", "csv", "mrt", "mmdb", "table"),
/// or nullopt.
std::optional<LoadFormat> load_format_named(std::string_view name) noexcept;
/// The name of `format` ("detect" for detect).
std::string_view load_format_name(LoadFormat format) noexcept;
/// "csv, ipasn, list, mmdb, mrt, pfx2as, table": the names of the formats, for messages.
std::string_view load_format_names() noexcept;

/// How to read a source.  The column options are csv's; `value` is also
/// list's value for every entry.
struct LoadOptions {
  LoadFormat format = LoadFormat::detect;
  std::optional<std::string> value;                    // csv: column; list: the value; mmdb: path
  std::optional<std::vector<std::string>> attributes;  // csv: attribute columns; mmdb: paths
  std::optional<std::string> network;                  // csv: the CIDR column
  std::optional<std::string> start, end;               // csv: the range columns
  std::string source_name = "<source>";                // names the source in errors
};

/// A failed load.  `kind` format: the source is not what it should be (the
/// text names the source and the line or byte); io: reading failed
/// (`error_number` is the errno); option: the options do not fit the
/// source (a csv column that is not in the header).
class LoadError : public std::runtime_error {
 public:
  enum class Kind : std::uint8_t { format, io, option };
  LoadError(Kind kind, const std::string& text, int error_number = 0)
      : std::runtime_error(text), kind_(kind), errno_(error_number) {}
  Kind kind() const noexcept { return kind_; }
  int error_number() const noexcept { return errno_; }

 private:
  Kind kind_;
  int errno_;
};

/// A source of bytes.  read() fills up to `n` bytes and returns how many
/// (0 only at the end), or throws (LoadError kind io, or the embedder's
/// own exception, which the load lets through).
class LoadInput {
 public:
  virtual ~LoadInput() = default;
  virtual std::size_t read(char* buffer, std::size_t n) = 0;
  /// The number of bytes read() will give in all, when known.
  virtual std::optional<std::uint64_t> size() const { return std::nullopt; }
};

/// The file at `path`, read as it is stored.  Throws LoadError kind io
/// (with the errno) when it cannot be opened.
std::unique_ptr<LoadInput> open_load_file(const std::string& path);
/// The open file descriptor `fd` (standard input, say), read from where it
/// stands and left open; `name` names it in errors.
std::unique_ptr<LoadInput> load_input_of_fd(int fd, std::string name);
/// `bytes` themselves (not copied: they must outlive the input).
std::unique_ptr<LoadInput> load_input_of_bytes(std::string_view bytes);

/// Told how far a load has come: the bytes of the source read so far (as
/// stored, compressed or not) and its size when known.  Called from the
/// loading thread a few times a second and once when the whole source is
/// parsed (done == total when total is known), before anything is stored.
/// May throw to stop the load: the exception passes out of the load and
/// nothing is stored.
using LoadProgress = std::function<void(std::uint64_t done, std::optional<std::uint64_t> total)>;

/// What a source holds, in its order: entry i is (prefixes[i], records[i]).
struct LoadedTable {
  std::vector<IpPrefix> prefixes;
  std::vector<RecordRef> records;

  /// The number of distinct prefixes (equal networks counted once).
  std::size_t distinct_prefixes() const;
  /// Puts the entries in items() order (IPv4, then IPv6, each by network
  /// address, a shorter prefix first), each prefix in its network form; of
  /// equal prefixes only the last is kept, as a load into an engine keeps it.
  void put_in_order();
};

/// Reads all of `input` as `options` say.  Throws LoadError, or what
/// `input` or `progress` throws.
LoadedTable read_table(LoadInput& input, const LoadOptions& options, const LoadProgress& progress = {});

/// Stores `table` in `engine` with one bulk load (insert_records: counted
/// as inserts, a hybrid engine's writes and events included), moving the
/// records out.  Returns the number of distinct prefixes stored; an
/// EngineError is thrown as LoadError kind format with its text.
std::size_t store_table(Engine& engine, LoadedTable& table);

/// read_table, then store_table.
std::size_t load_table(Engine& engine, LoadInput& input, const LoadOptions& options,
                       const LoadProgress& progress = {});

}  // namespace netrove
