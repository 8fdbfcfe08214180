// libFuzzer target for the loaders' text readers behind the codec layer.
//
// The first byte picks the format (detect, list, pfx2as, ipasn, csv, mrt) and
// the size of the reads the source hands out; the rest is the source.  A
// load either throws LoadError or gives a table whose every entry is a
// valid prefix with a record, and reading it again in other chunks gives
// the same table.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "netrove/load.hpp"

namespace {

class Chunks final : public netrove::LoadInput {
 public:
  Chunks(const std::uint8_t* p, std::size_t n, std::size_t chunk) : p_(p), n_(n), chunk_(chunk) {}
  std::size_t read(char* buffer, std::size_t n) override {
    const std::size_t k = std::min({n, chunk_, n_ - at_});
    std::memcpy(buffer, p_ + at_, k);
    at_ += k;
    return k;
  }

 private:
  const std::uint8_t* p_;
  std::size_t n_, chunk_, at_ = 0;
};

[[noreturn]] void fail(const char* what) {
  __builtin_printf("load_fuzz: %s\n", what);
  std::abort();
}

bool read(const std::uint8_t* p, std::size_t n, std::size_t chunk, const netrove::LoadOptions& o,
          netrove::LoadedTable& out) {
  Chunks in(p, n, chunk);
  try {
    out = netrove::read_table(in, o);
    return true;
  } catch (const netrove::LoadError&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t pick = data[0];
  netrove::LoadOptions o;
  o.format = static_cast<netrove::LoadFormat>(pick % 6);
  const std::size_t chunk = 1 + (pick >> 3);
  netrove::LoadedTable a, b;
  const bool ok = read(data + 1, size - 1, chunk, o, a);
  if (ok != read(data + 1, size - 1, 1 << 20, o, b)) fail("the outcome depends on the read size");
  if (!ok) return 0;
  if (a.prefixes.size() != a.records.size()) fail("prefixes and records differ in number");
  if (a.prefixes.size() != b.prefixes.size()) fail("the table depends on the read size");
  for (std::size_t i = 0; i < a.prefixes.size(); ++i) {
    const netrove::IpPrefix& p = a.prefixes[i];
    if (p.family > netrove::kIpv6 || p.length > netrove::family_bits(p.family)) fail("an invalid prefix");
    if (!a.records[i]) fail("an entry without a record");
    if (!(p == b.prefixes[i]) || a.records[i].get() != b.records[i].get()) fail("the table depends on the read size");
  }
  if (a.distinct_prefixes() > a.prefixes.size()) fail("more distinct prefixes than prefixes");
  return 0;
}
