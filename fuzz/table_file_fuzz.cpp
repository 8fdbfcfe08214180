// libFuzzer target for table files and the range table read from them.
//
// The input draws a table (prefixes from a small palette of bytes, or at
// the first or last address of an earlier one, so that they nest and meet,
// and a few records), which is saved as a table file; then a
// few bytes of the file are changed at drawn places, and the checksum is
// either left alone or recomputed over the changed bytes.
//   - a file with one byte changed and its checksum left alone is refused;
//   - the unchanged file reads back as the engine's own entries;
//   - whatever file is accepted gives a RangeTable that answers every
//     drawn address as an engine loaded with the same entries does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "netrove/factory.hpp"
#include "netrove/table_file.hpp"
#include "range/range_table.hpp"
#include "tablefile/crc32c.hpp"

namespace {

using netrove::fuzz::Input;

[[noreturn]] void fail(const char* what) {
  __builtin_printf("table_file_fuzz: %s\n", what);
  std::abort();
}

std::uint8_t byte_of(Input& in) {
  const std::uint8_t b = in.next();
  return b & 0x80 ? static_cast<std::uint8_t>(b << 1) : netrove::fuzz::kPalette[b & 7];
}

netrove::IpAddress address_of(Input& in) {
  netrove::IpAddress a;
  a.family = in.next() & 1 ? netrove::kIpv6 : netrove::kIpv4;
  for (unsigned i = 0; i < (a.family == netrove::kIpv4 ? 4u : 16u); ++i) a.bytes[i] = byte_of(in);
  return a;
}

/// The last address `p` covers.
netrove::IpAddress last_address(const netrove::IpPrefix& p) {
  netrove::IpAddress a{p.family, p.network_address()};
  for (unsigned bit = p.length; bit < netrove::family_bits(p.family); ++bit)
    a.bytes[bit / 8] |= static_cast<std::uint8_t>(0x80u >> (bit % 8));
  return a;
}

/// The longest prefix `engine` (holding `entries`) covers `a` with, as an index into them, or npos.
std::size_t engine_match(const netrove::Engine& engine, const netrove::SnapshotContents& entries,
                         const netrove::IpAddress& a) {
  const auto found = dynamic_cast<const netrove::EntryReader&>(engine).covering(a, 1);
  if (found.empty()) return netrove::range::RangeTable::npos;
  for (std::size_t i = 0; i < entries.prefixes.size(); ++i)
    if (entries.prefixes[i] == found[0].prefix) return i;
  fail("the engine answers with a prefix it was not given");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{data, size};
  auto engine = netrove::create_engine(netrove::EngineConfig{});
  const unsigned count = in.next() % 48;
  std::vector<netrove::IpPrefix> drawn;
  for (unsigned i = 0; i < count; ++i) {
    netrove::IpPrefix p;
    const std::uint8_t how = in.next();
    if (how % 4 == 0 && !drawn.empty()) {
      // Inside an earlier prefix at its first or last address, where the
      // ranges of nested prefixes meet.
      const netrove::IpPrefix& q = drawn[in.next() % drawn.size()];
      const unsigned width = netrove::family_bits(q.family);
      p = {q.family, q.network_address(), 0};
      if (how & 4) p.address = last_address(q).bytes;
      p.length = static_cast<std::uint8_t>(q.length + in.next() % (width - q.length + 1));
    } else {
      const netrove::IpAddress a = address_of(in);
      p = {a.family, a.bytes, static_cast<std::uint8_t>(in.next() % (netrove::family_bits(a.family) + 1))};
    }
    drawn.push_back(p);
    netrove::Metadata m;
    m.value = std::string(1, static_cast<char>('a' + in.next() % 4));
    if (in.next() & 1) m.attributes.emplace("k", "v");
    if (!engine->insert(p, std::move(m)).ok()) fail("an insert failed");
  }
  std::string file = netrove::table_file_bytes(*engine);
  netrove::SnapshotContents entries;
  if (auto e = netrove::read_table_file(file, entries)) fail("a saved table is refused");
  if (entries.prefixes.size() != engine->len()) fail("the saved table lost entries");

  // Change 0 to 3 bytes; then maybe fix the checksum.
  const unsigned changes = in.next() % 4;
  for (unsigned i = 0; i < changes; ++i) {
    const std::size_t at = (std::size_t{in.next()} << 8 | in.next()) % file.size();
    file[at] = static_cast<char>(file[at] ^ (in.next() | 1));
  }
  if (in.next() & 1 && file.size() >= netrove::kTableFileHeaderBytes) {
    std::uint32_t crc = netrove::crc::crc32c(0, file.data() + 12, 24);
    crc = netrove::crc::crc32c(crc, file.data() + 40, file.size() - 40);
    for (int i = 0; i < 4; ++i) file[36 + i] = static_cast<char>(crc >> (8 * i));
  } else if (changes == 1 && !netrove::read_table_file(file, entries)) {
    fail("a changed byte went unnoticed");
  }
  if (netrove::read_table_file(file, entries)) return 0;

  auto loaded = netrove::create_engine(netrove::EngineConfig{});
  std::size_t done = 0;
  if (!netrove::load_records(*loaded, entries.prefixes.data(), entries.records.data(), entries.prefixes.size(), &done)
           .ok())
    fail("accepted entries do not load");
  const netrove::range::RangeTable ranges(entries.prefixes.data(), entries.prefixes.size());
  auto check = [&](const netrove::IpAddress& a) {
    const std::size_t want = engine_match(*loaded, entries, a);
    std::size_t got;
    netrove::IpPrefix prefix;
    ranges.match_many(&a, 1, &got, &prefix);
    if (ranges.match(a) != want || got != want) fail("the range table and the engine disagree");
    if (got != netrove::range::RangeTable::npos && !(prefix == entries.prefixes[got]))
      fail("the range table names another prefix than the entry it found");
  };
  // Every entry's first and last address and their outer neighbours, where
  // ranges begin and end; then the drawn addresses.
  for (const netrove::IpPrefix& p : entries.prefixes) {
    const unsigned bytes = netrove::family_bits(p.family) / 8;
    const netrove::IpAddress first{p.family, p.network_address()}, last = last_address(p);
    netrove::IpAddress before = first, after = last;
    for (int i = static_cast<int>(bytes) - 1; i >= 0 && before.bytes[i]-- == 0; --i) {}
    for (int i = static_cast<int>(bytes) - 1; i >= 0 && ++after.bytes[i] == 0; --i) {}
    for (const auto& a : {first, last, before, after}) check(a);
  }
  while (in.n > 0) check(address_of(in));
  return 0;
}
