// read_snapshot and load_snapshot: every byte checked before anything is
// stored, then one bulk load.
//
// Checks, numbered as in the code (each failure names what it found):
//   1. the magic and the version;
//   2. the record count, each record's counts and lengths within the bytes
//      left (so a hostile count cannot make the reader reserve more than
//      the input could hold), its texts UTF-8, its keys distinct;
//   3. per family the entry count within the bytes left, each length within
//      the family's width, its address bytes present, the bits past the
//      length clear, the entries strictly increasing (address, then
//      length), each record index below the record count;
//   4. no byte after the last entry.
// Records are interned straight from views into the input (RecordSource);
// the entries share them.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "netrove/snapshot.hpp"
#include "snapshot/snapshot_format.hpp"
#include "text/utf8.hpp"

namespace netrove {

namespace {

using Pair = std::pair<std::string_view, std::string_view>;

/// The bytes still to read.
struct Cursor {
  const unsigned char* p;
  const unsigned char* end;

  std::size_t left() const noexcept { return static_cast<std::size_t>(end - p); }
  bool var(std::uint64_t& v) noexcept {
    const unsigned char* next = snapshot::get_var(p, end, v);
    if (!next) return false;
    p = next;
    return true;
  }
  bool text(std::string_view& s) noexcept {
    std::uint64_t n;
    if (!var(n) || n > left()) return false;
    s = {reinterpret_cast<const char*>(p), static_cast<std::size_t>(n)};
    p += n;
    return true;
  }
};

std::string numbered(const char* what, std::uint64_t i) { return std::string(what) + " " + std::to_string(i); }

/// Whether the keys of `pairs` are distinct.
bool distinct_keys(std::vector<Pair>& pairs) {
  if (pairs.size() <= 16) {
    for (std::size_t i = 0; i < pairs.size(); ++i)
      for (std::size_t j = i + 1; j < pairs.size(); ++j)
        if (pairs[i].first == pairs[j].first) return false;
    return true;
  }
  std::vector<std::string_view> keys;
  keys.reserve(pairs.size());
  for (const Pair& x : pairs) keys.push_back(x.first);
  std::sort(keys.begin(), keys.end());
  return std::adjacent_find(keys.begin(), keys.end()) == keys.end();
}

/// 2. One record at the cursor, interned into `out`; an error text or nothing.
std::optional<std::string> read_record(Cursor& c, std::uint64_t r, std::vector<Pair>& pairs, RecordRef& out) {
  std::uint64_t count;
  RecordSource source;
  // A pair takes two bytes at least, the value's length one.
  if (!c.var(count) || count > c.left() / 2 || !c.text(source.value)) return numbered("truncated in record", r);
  pairs.resize(static_cast<std::size_t>(count));
  for (Pair& x : pairs)
    if (!c.text(x.first) || !c.text(x.second)) return numbered("truncated in record", r);
  if (!valid_utf8(source.value)) return numbered("a text is not UTF-8 in record", r);
  for (const Pair& x : pairs)
    if (!valid_utf8(x.first) || !valid_utf8(x.second)) return numbered("a text is not UTF-8 in record", r);
  if (!distinct_keys(pairs)) return numbered("an attribute key is repeated in record", r);
  source.pairs = pairs.data();
  source.count = pairs.size();
  out = RecordRef::intern(source);
  return std::nullopt;
}

/// 3. The entries of one family at the cursor: their prefixes into `out`,
/// the number of each one's record into `index`.
std::optional<std::string> read_entries(Cursor& c, std::uint8_t family, std::uint64_t record_count,
                                        SnapshotContents& out, std::vector<std::uint32_t>& index) {
  const char* const name = family == kIpv4 ? "IPv4 entry" : "IPv6 entry";
  const unsigned width = family_bits(family);
  std::uint64_t n;
  // An entry takes two bytes at least (its length, its record index).
  if (!c.var(n) || n > c.left() / 2) return std::string("truncated before the ") + name + " count";
  out.prefixes.reserve(out.prefixes.size() + n);
  index.reserve(index.size() + n);
  IpPrefix prev{family, {}, 0};
  for (std::uint64_t i = 0; i < n; ++i) {
    if (c.left() == 0) return numbered(("truncated in " + std::string(name)).c_str(), i);
    IpPrefix p{family, {}, *c.p++};
    if (p.length > width) return numbered(name, i) + ": length " + std::to_string(p.length) + " out of range";
    const unsigned bytes = (p.length + 7u) / 8u;
    if (c.left() < bytes) return numbered(("truncated in " + std::string(name)).c_str(), i);
    std::memcpy(p.address.data(), c.p, bytes);
    c.p += bytes;
    if (p.address != p.network_address()) return numbered(name, i) + ": host bits set";
    if (i > 0) {
      const int order = std::memcmp(prev.address.data(), p.address.data(), 16);
      if (order > 0 || (order == 0 && prev.length >= p.length)) return numbered(name, i) + ": out of order or repeated";
    }
    std::uint64_t r;
    if (!c.var(r)) return numbered(("truncated in " + std::string(name)).c_str(), i);
    if (r >= record_count) return numbered(name, i) + ": record index " + std::to_string(r) + " out of range";
    out.prefixes.push_back(p);
    index.push_back(static_cast<std::uint32_t>(r));
    prev = p;
  }
  return std::nullopt;
}

std::optional<std::string> read_all(std::string_view bytes, SnapshotContents& out) {
  Cursor c{reinterpret_cast<const unsigned char*>(bytes.data()),
           reinterpret_cast<const unsigned char*>(bytes.data()) + bytes.size()};
  // 1.
  if (c.left() < 5 || std::memcmp(c.p, snapshot::kMagic, 4) != 0) return "not a netrove snapshot (no magic)";
  if (c.p[4] != snapshot::kVersion) return "unsupported snapshot version " + std::to_string(c.p[4]);
  c.p += 5;
  // 2.  A record takes two bytes at least (its pair count, its value's length).
  std::uint64_t count;
  if (!c.var(count) || count > c.left() / 2) return "truncated before the records";
  std::vector<RecordRef> records(static_cast<std::size_t>(count));
  std::vector<Pair> pairs;
  for (std::uint64_t r = 0; r < count; ++r)
    if (auto e = read_record(c, r, pairs, records[r])) return e;
  // 3.
  std::vector<std::uint32_t> index;
  for (const std::uint8_t family : {kIpv4, kIpv6})
    if (auto e = read_entries(c, family, count, out, index)) return e;
  // 4.
  if (c.left() != 0) return std::to_string(c.left()) + " bytes after the last entry";
  // Every entry gets a share of its record.  The shares of one record are
  // added in one step: a million entries over a few thousand records would
  // otherwise be a million atomic increments on scattered blocks.
  std::vector<std::uint32_t> shares(records.size(), 0);
  for (const std::uint32_t r : index) ++shares[r];
  for (std::size_t r = 0; r < records.size(); ++r)
    if (shares[r] != 0) records[r].get()->owners.fetch_add(shares[r], std::memory_order_relaxed);
  out.records.reserve(index.size());
  for (const std::uint32_t r : index) out.records.push_back(RecordRef::adopt(records[r].get()));
  return std::nullopt;
}

}  // namespace

std::optional<std::string> read_snapshot(std::string_view bytes, SnapshotContents& out) {
  out.prefixes.clear();
  out.records.clear();
  std::optional<std::string> error = read_all(bytes, out);
  if (error) {
    out.prefixes = {};
    out.records = {};
  }
  return error;
}

std::optional<std::string> load_snapshot(Engine& engine, std::string_view bytes) {
  SnapshotContents contents;
  if (auto error = read_snapshot(bytes, contents)) return error;
  std::size_t done = 0;
  const InsertResult r =
      load_records(engine, contents.prefixes.data(), contents.records.data(), contents.prefixes.size(), &done);
  if (!r.ok()) return r.error->message;
  return std::nullopt;
}

}  // namespace netrove
