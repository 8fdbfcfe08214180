// Differential fuzzer of the read index: the input is a program of inserts,
// removes, lookups and clears over both families, run on a ReadIndex and on
// a brute-force list of prefixes; any disagreement traps.  Address bytes
// come from a small palette so that prefixes share octets and nest, and
// lengths favour the ends of the 8-bit strides.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "index/read_index.hpp"
#include "sync/rcu.hpp"

namespace {

using netrove::fuzz::Input;
using netrove::fuzz::kPalette;

namespace trie = netrove::trie;

netrove::IpAddress address(Input& r, std::uint8_t family) {
  netrove::IpAddress a;
  a.family = family;
  const unsigned bytes = family == netrove::kIpv4 ? 4 : 16;
  for (unsigned i = 0; i < bytes; ++i) {
    const std::uint8_t c = r.next();
    a.bytes[i] = (c & 0x80) ? static_cast<std::uint8_t>(c << 1) : kPalette[c & 7];
  }
  return a;
}

struct Entry {
  netrove::IpPrefix prefix;
  std::uint32_t id;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input r{data, size};
  netrove::index::ReadIndex ix;
  std::vector<Entry> oracle;
  std::uint32_t next_id = 0;
  while (r.n > 0) {
    const std::uint8_t op = r.next();
    const std::uint8_t family = (op & 8) ? netrove::kIpv6 : netrove::kIpv4;
    const unsigned width = netrove::family_bits(family);
    netrove::rcu::ReadSection rs;
    switch (op & 7) {
      case 0: case 1: case 2: {  // insert
        const std::uint8_t l = r.next();
        const unsigned len = (l & 0x80) ? (8u * (1u + (l & 15u)) - ((l >> 4) & 1u)) % (width + 1) : l % (width + 1);
        netrove::IpPrefix p{family, address(r, family).bytes, static_cast<std::uint8_t>(len)};
        trie::Record* rec = netrove::RecordRef::intern(netrove::Metadata{std::to_string(next_id), {}}).release();
        ix.insert(p, rec);
        trie::release(rec);
        bool replaced = false;
        for (auto& e : oracle)
          if (e.prefix.same_network(p)) e.id = next_id, replaced = true;
        if (!replaced) oracle.push_back({p, next_id});
        ++next_id;
        break;
      }
      case 3: case 4: {  // remove
        const unsigned len = r.next() % (width + 1);
        netrove::IpPrefix p{family, address(r, family).bytes, static_cast<std::uint8_t>(len)};
        bool had = false;
        for (std::size_t i = 0; i < oracle.size(); ++i)
          if (oracle[i].prefix.same_network(p)) {
            oracle.erase(oracle.begin() + static_cast<std::ptrdiff_t>(i));
            had = true;
            break;
          }
        if (ix.remove(p) != had) __builtin_trap();
        break;
      }
      case 5: case 6: {  // lookup
        const netrove::IpAddress a = address(r, family);
        const Entry* best = nullptr;
        for (const auto& e : oracle)
          if (e.prefix.contains(a) && (!best || e.prefix.length > best->prefix.length)) best = &e;
        const trie::Record* got = ix.lookup(a);
        if ((got == nullptr) != (best == nullptr)) __builtin_trap();
        if (got && netrove::RecordView(*got).value() != std::to_string(best->id)) __builtin_trap();
        break;
      }
      default:
        if ((r.next() & 15) == 0) {
          ix.clear();
          oracle.clear();
        }
    }
  }
  return 0;
}
