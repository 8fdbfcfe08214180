// Differential fuzzer of the bulk load and the snapshot reader.  The input
// picks a trie engine (node kind 0-7, alone or over shards) and then runs a
// program against it and against a brute-force table:
//
//   bulk     insert_records of up to 40 prefixes (repeats inside one call,
//            written with other host bits, and records shared by several)
//   remove   one prefix
//   snapshot save, then load into a fresh engine: equal to the table; every
//            proper prefix of the bytes rejected with nothing stored; one
//            byte changed: rejected with nothing stored, or accepted and
//            loaded exactly as read
//   forged   a snapshot written here from input-chosen parts, some of them
//            broken (a length past the width, host bits, entries out of
//            order or repeated, a record index out of range, a repeated
//            attribute key, a byte after the end): accepted exactly when
//            none is, and then read as written
//   raw      the next input bytes, after a valid header, read as a
//            snapshot: the same accept-or-reject rule as for one byte changed
//
// after every step: the entries (EntryReader::all) equal the table's,
// len() and stats() agree, and lookups of a few addresses find the
// longest covering prefix.  Any disagreement traps.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "fuzz_input.hpp"
#include "netrove/snapshot.hpp"
#include "snapshot/snapshot_format.hpp"
#include "sync/rcu.hpp"

namespace {

using netrove::fuzz::Input;
using netrove::fuzz::kPalette;
using netrove::IpAddress;
using netrove::IpPrefix;

/// The brute-force table: (family, network, length) -> value.
using Key = std::tuple<std::uint8_t, std::array<std::uint8_t, 16>, std::uint8_t>;
using Table = std::map<Key, std::string>;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

Key key_of(const IpPrefix& p) { return {p.family, p.network_address(), p.length}; }

/// A prefix from the input: mostly palette bytes, lengths favouring the
/// ends of the 8-bit strides.
IpPrefix prefix_of(Input& r) {
  const std::uint8_t shape = r.next();
  IpPrefix p;
  p.family = shape & 1 ? netrove::kIpv6 : netrove::kIpv4;
  const unsigned width = netrove::family_bits(p.family);
  for (unsigned i = 0; i < width / 8; ++i) p.address[i] = (shape >> 1 >> (i % 4)) & 1 ? r.next() : kPalette[(i + shape) % 8];
  const std::uint8_t l = r.next();
  const unsigned len = (l & 0x80) ? (8u * (1u + (l & 15u)) - ((l >> 4) & 1u)) % (width + 1) : l % (width + 1);
  p.length = static_cast<std::uint8_t>(len);
  return p;
}

std::string value_of(const netrove::RecordView& v) { return std::string(v.value()); }

/// The table's entries in EntryReader::all's order: IPv4 then IPv6, each
/// by network address, then length.
std::vector<std::pair<Key, std::string>> ordered(const Table& t) {
  std::vector<std::pair<Key, std::string>> out(t.begin(), t.end());
  return out;  // std::map orders by (family, network bytes, length) already
}

/// `e` holds exactly the entries of `t`.
void check_entries(const netrove::Engine& e, const Table& t) {
  const auto& reader = dynamic_cast<const netrove::EntryReader&>(e);
  const std::vector<netrove::Entry> all = reader.all();
  const auto want = ordered(t);
  check(all.size() == want.size() && e.len() == t.size());
  for (std::size_t i = 0; i < all.size(); ++i) {
    check(key_of(all[i].prefix) == want[i].first);
    check(all[i].record.view().value() == want[i].second);
  }
}

/// The longest prefix of `t` covering `a`, as its value.
std::optional<std::string> longest(const Table& t, const IpAddress& a) {
  std::optional<std::string> best;
  int best_len = -1;
  for (const auto& [k, v] : t) {
    const IpPrefix p{std::get<0>(k), std::get<1>(k), std::get<2>(k)};
    if (p.contains(a) && p.length > best_len) best = v, best_len = p.length;
  }
  return best;
}

netrove::LocalEngine make_engine(std::uint8_t pick) {
  const std::uint8_t kind = pick % 8;
  const bool sharded = (pick >> 3) & 1;
  return netrove::build_local(sharded ? 5 : 0, kind % 4, kind >= 4, sharded ? std::optional<std::uint64_t>(3) : std::nullopt);
}

/// A fresh engine of `pick` loaded from `bytes`: rejected bytes leave it
/// empty; accepted ones leave exactly what read_snapshot read.
void check_load(std::uint8_t pick, std::string_view bytes) {
  netrove::SnapshotContents read;
  const bool accepted = !netrove::read_snapshot(bytes, read).has_value();
  check(accepted || (read.prefixes.empty() && read.records.empty()));
  netrove::LocalEngine fresh = make_engine(pick);
  const bool loaded = !netrove::load_snapshot(fresh, bytes).has_value();
  check(loaded == accepted);
  if (!accepted) {
    check(fresh.len() == 0);
    return;
  }
  Table t;
  for (std::size_t i = 0; i < read.prefixes.size(); ++i) t[key_of(read.prefixes[i])] = value_of(read.records[i].view());
  check(t.size() == read.prefixes.size());  // strictly increasing: no repeats
  check_entries(fresh, t);
  check(fresh.stats().inserts == 0);  // a load counts nothing
}

/// The forged case: a snapshot from parts chosen by the input, and whether
/// a reader must accept it.
void check_forged(Input& r, std::uint8_t pick) {
  using netrove::snapshot::put_var;
  std::string out("NRVS\x01", 5);
  bool valid = true;
  const unsigned records = 1 + r.next() % 4;
  put_var(out, records);
  for (unsigned i = 0; i < records; ++i) {
    const unsigned pairs = r.next() % 3;
    put_var(out, pairs);
    const std::string value = "r" + std::to_string(i);
    put_var(out, value.size());
    out += value;
    const std::uint8_t keys = r.next();
    for (unsigned k = 0; k < pairs; ++k) {
      const std::string key = "k" + std::to_string((keys >> k) & 1);
      put_var(out, key.size());
      out += key;
      put_var(out, 1);
      out += "x";
    }
    if (pairs == 2 && ((keys ^ (keys >> 1)) & 1) == 0) valid = false;  // the same key twice
  }
  std::vector<std::pair<IpPrefix, unsigned>> want;
  for (const std::uint8_t family : {netrove::kIpv4, netrove::kIpv6}) {
    const unsigned n = r.next() % 6;
    const unsigned width = netrove::family_bits(family);
    put_var(out, n);
    IpPrefix prev{};
    for (unsigned i = 0; i < n; ++i) {
      IpPrefix p{family, {}, static_cast<std::uint8_t>(r.next() % (width + 2))};
      const std::uint8_t shape = r.next();
      for (unsigned b = 0; b < 16; ++b) p.address[b] = kPalette[(shape + b * (shape >> 5)) % 8];
      const unsigned index = r.next() % (records + 1);
      out.push_back(static_cast<char>(p.length));
      const unsigned bytes = (std::min<unsigned>(p.length, width) + 7u) / 8u;
      out.append(reinterpret_cast<const char*>(p.address.data()), bytes);
      put_var(out, index);
      if (p.length > width) {
        valid = false;
        break;  // the rest would be read with a different length
      }
      std::array<std::uint8_t, 16> written{};
      std::memcpy(written.data(), p.address.data(), bytes);
      p.address = written;
      if (p.address != p.network_address()) valid = false;
      if (i > 0 && std::make_tuple(prev.address, prev.length) >= std::make_tuple(p.address, p.length)) valid = false;
      if (index >= records) valid = false;
      want.emplace_back(p, index);
      prev = p;
    }
    if (!valid) break;
  }
  if (r.next() & 1) {
    out.push_back('\0');
    valid = false;
  }
  netrove::SnapshotContents read;
  const bool accepted = !netrove::read_snapshot(out, read).has_value();
  if (!valid) {
    check(!accepted);
    return;
  }
  check(accepted && read.prefixes.size() == want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    check(read.prefixes[i] == want[i].first);
    check(value_of(read.records[i].view()) == "r" + std::to_string(want[i].second));
  }
  check_load(pick, out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input r{data, size};
  const std::uint8_t pick = r.next();
  netrove::LocalEngine e = make_engine(pick);
  Table table;
  std::uint64_t inserts = 0, serial = 0;
  std::vector<IpPrefix> seen;
  for (int step = 0; step < 48 && r.n > 0; ++step) {
    const std::uint8_t op = r.next();
    switch (op % 7) {
      case 0: case 1: case 2: {  // bulk
        const unsigned k = 1 + r.next() % 40;
        std::vector<IpPrefix> ps;
        std::vector<netrove::RecordRef> rs;
        for (unsigned i = 0; i < k; ++i) {
          const std::uint8_t how = r.next();
          IpPrefix p = (how & 3) == 0 && !seen.empty() ? seen[r.next() % seen.size()] : prefix_of(r);
          if ((how & 12) == 0) p.address[15] ^= 1, p.address[3] ^= static_cast<std::uint8_t>(how);  // host bits, maybe
          const std::string value = "v" + std::to_string((how & 16) ? serial % 5 : serial);
          ++serial;
          ps.push_back(p);
          rs.push_back(netrove::RecordRef::intern(netrove::Metadata{value, {}}));
          seen.push_back(p);
          table[key_of(p)] = value;  // a later one of an equal prefix wins
        }
        std::size_t done = 0;
        check(netrove::insert_records(e, ps.data(), rs.data(), ps.size(), &done).ok() && done == ps.size());
        inserts += k;
        break;
      }
      case 3: {  // remove
        const IpPrefix p = !seen.empty() && (op & 8) ? seen[r.next() % seen.size()] : prefix_of(r);
        const bool had = table.erase(key_of(p)) > 0;
        check(netrove::erase(e, p) == had);
        break;
      }
      case 4: {  // snapshot
        const std::string bytes = netrove::save_snapshot(e);
        check_load(pick, bytes);
        const std::size_t cut = bytes.empty() ? 0 : (std::size_t{r.next()} << 8 | r.next()) % bytes.size();
        netrove::SnapshotContents none;
        check(netrove::read_snapshot(std::string_view(bytes).substr(0, cut), none).has_value());
        std::string changed = bytes;
        if (!changed.empty()) changed[cut] = static_cast<char>(changed[cut] ^ (1 + r.next()));
        check_load(pick, changed);
        break;
      }
      case 5:
        check_forged(r, pick);
        break;
      default: {  // raw bytes after a valid header
        std::string raw("NRVS\x01", 5);
        const unsigned n = r.next() % 64;
        for (unsigned i = 0; i < n; ++i) raw.push_back(static_cast<char>(r.next()));
        check_load(pick, raw);
        break;
      }
    }
    check_entries(e, table);
    const netrove::EngineStats s = e.stats();
    check(s.inserts == inserts && s.size == table.size());
    for (int k = 0; k < 3; ++k) {
      const IpPrefix p = prefix_of(r);
      const IpAddress a{p.family, p.address};
      const std::optional<netrove::Metadata> got = e.lookup(a);
      const std::optional<std::string> want = longest(table, a);
      check(got.has_value() == want.has_value() && (!got || got->value == *want));
    }
  }
  netrove::rcu::drain();
  return 0;
}
