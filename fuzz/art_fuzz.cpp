// Differential fuzzer of the adaptive radix tree: the input is a program of
// inserts, removes, exact finds, lookups and clears over both families,
// run on an AdaptiveRadixTree and on a brute-force list; any disagreement
// traps.  Address bytes come from a small palette so that keys share
// leading bytes and prefixes nest.
#include <cstddef>
#include <cstdint>
#include <array>
#include <cstring>
#include <string>
#include <memory>
#include <vector>

#include "fuzz_input.hpp"
#include "art/tree.hpp"
#include "netrove/types.hpp"

namespace {

using netrove::fuzz::Input;
using netrove::fuzz::kPalette;

struct Entry {
  std::uint8_t family;
  std::array<std::uint8_t, 16> net;
  unsigned len;
  std::uint32_t id;
};

std::array<std::uint8_t, 16> network(const std::array<std::uint8_t, 16>& a, unsigned len) {
  netrove::IpPrefix p;
  p.address = a;
  p.length = static_cast<std::uint8_t>(len);
  return p.network_address();
}

bool covers(const Entry& e, std::uint8_t family, const std::array<std::uint8_t, 16>& a) {
  if (e.family != family) return false;
  return network(a, e.len) == e.net;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{data, size};
  netrove::art::AdaptiveRadixTree tree;
  std::vector<Entry> oracle;
  std::uint32_t serial = 0;
  while (in.n > 0) {
    const std::uint8_t op = in.next();
    const std::uint8_t family = op & 1 ? netrove::kIpv6 : netrove::kIpv4;
    const unsigned width = family == netrove::kIpv4 ? 32 : 128;
    std::array<std::uint8_t, 16> a{};
    const std::uint8_t shape = in.next();
    for (unsigned i = 0; i < width / 8; ++i) {
      // Mostly palette bytes; some fully random ones from the input.
      a[i] = (shape >> (i % 8)) & 1 ? in.next() : kPalette[(i * 3 + shape) % 8];
    }
    const unsigned len = in.next() % (width + 1);
    switch ((op >> 1) % 5) {
      case 0: {  // insert
        const auto net = network(a, len);
        netrove::Metadata m;
        m.value = std::to_string(serial);
        const bool added = tree.insert(family, a.data(), len, netrove::RecordRef::intern(m));
        bool fresh = true;
        for (auto& e : oracle)
          if (e.family == family && e.len == len && e.net == net) {
            e.id = serial;
            fresh = false;
          }
        if (fresh) oracle.push_back({family, net, len, serial});
        if (added != fresh) __builtin_trap();
        ++serial;
        break;
      }
      case 1: {  // remove
        const auto net = network(a, len);
        auto got = tree.remove(family, a.data(), len);
        bool found = false;
        for (std::size_t i = 0; i < oracle.size(); ++i)
          if (oracle[i].family == family && oracle[i].len == len && oracle[i].net == net) {
            if (!got || got.view().value() != std::to_string(oracle[i].id)) __builtin_trap();
            oracle.erase(oracle.begin() + static_cast<std::ptrdiff_t>(i));
            found = true;
            break;
          }
        if (!found && got) __builtin_trap();
        break;
      }
      case 2: {  // exact find
        const auto net = network(a, len);
        const netrove::StoredRecord* got = tree.find_exact(family, a.data(), len);
        const Entry* want = nullptr;
        for (const auto& e : oracle)
          if (e.family == family && e.len == len && e.net == net) want = &e;
        if ((got == nullptr) != (want == nullptr)) __builtin_trap();
        if (want && netrove::RecordView(*got).value() != std::to_string(want->id)) __builtin_trap();
        break;
      }
      case 3: {  // longest-prefix lookup
        const netrove::StoredRecord* got = tree.search(family, a.data());
        const Entry* best = nullptr;
        for (const auto& e : oracle)
          if (covers(e, family, a) && (best == nullptr || e.len > best->len)) best = &e;
        if ((got == nullptr) != (best == nullptr)) __builtin_trap();
        if (best && netrove::RecordView(*got).value() != std::to_string(best->id)) __builtin_trap();
        break;
      }
      default:
        if (len == 0) {  // clear, rarely
          tree.clear();
          oracle.clear();
        }
        break;
    }
  }
  return 0;
}
