// netrove/snapshot.hpp - a table as bytes: saved by one walk of an engine's
// entries, loaded back by its bulk load.
//
// Layout, version 1 (a "var" is an unsigned LEB128 varint: 7 bits a byte,
// the low ones first, the top bit set on every byte but the last):
//
//   +------+---+-------+-----------+--------+----------------+--------+----------------+
//   | NRVS | 1 | R var | R records | N4 var | N4 IPv4 entries| N6 var | N6 IPv6 entries|
//   +------+---+-------+-----------+--------+----------------+--------+----------------+
//    magic  version
//
//   record  var pair count, var value length, value bytes, then per pair:
//           var key length, key bytes, var text length, text bytes
//   entry   one length byte (0..32 or 0..128), the length / 8 rounded up
//           bytes of the network address, var record index (below R)
//
// Each distinct record is written once, however many prefixes share it.
// The entries of a family come in the order of EntryReader::covered
// (address order, a shorter prefix first), strictly increasing, with every
// bit past the length clear.  Texts are UTF-8 and the keys of one record
// distinct.  Nothing follows the last entry.  A reader takes nothing on
// trust: anything else is a malformed snapshot, rejected with the reason.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "netrove/engine.hpp"
#include "netrove/record.hpp"
#include "netrove/types.hpp"

namespace netrove {

/// What a snapshot holds: its distinct records and its entries per family.
struct SnapshotCounts {
  std::uint64_t records = 0;
  std::uint64_t ipv4 = 0;
  std::uint64_t ipv6 = 0;
};

/// The snapshot of every entry of `engine`: walked through its EntryLister
/// side, or for an engine without one copied through EntryReader::all().
/// `*counts`, when given, is set to what it holds.  Errors:
/// std::logic_error for an engine with neither side; those of the walk
/// (std::bad_alloc).
std::string save_snapshot(const Engine& engine, SnapshotCounts* counts = nullptr);

/// The entries of a snapshot: prefixes[i] with records[i], the prefixes in
/// snapshot order (IPv4, then IPv6), the records stored (interned) ones.
struct SnapshotContents {
  std::vector<IpPrefix> prefixes;
  std::vector<RecordRef> records;
};

/// Reads and checks `bytes`.  Returns nothing with `out` filled, or the
/// reason the bytes are no well-formed snapshot (for example "truncated in
/// record 3" or "IPv4 entry 7: host bits set") with `out` left empty.
std::optional<std::string> read_snapshot(std::string_view bytes, SnapshotContents& out);

/// read_snapshot, then every entry into `engine` without counting
/// (load_records, one bulk load).  Returns nothing, or the reason the
/// bytes are malformed, in which case nothing was stored (or the text of
/// an EngineError the engine reported while storing).  Errors: those of
/// load_records.
std::optional<std::string> load_snapshot(Engine& engine, std::string_view bytes);

}  // namespace netrove
