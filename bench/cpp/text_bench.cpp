// text_bench - what do the text forms cost: parse_address against glibc's
// inet_pton on the same texts, parse_prefix, prefix_field, and the record JSON
// writer and reader?  Texts are 4,096 lines per family spread over the table.
#include <arpa/inet.h>

#include "common/table.hpp"
#include "netrove/metadata.hpp"
#include "netrove/text.hpp"

namespace {

constexpr std::size_t kSample = 4096;  // texts per family, a power of two

struct Texts {
  std::vector<std::string> prefixes[2], addresses[2];  // [0] IPv4, [1] IPv6
  std::vector<netrove::IpPrefix> parsed[2];
};

const Texts& texts() {
  static const Texts t = [] {
    Texts t;
    std::vector<std::string> all[2];
    for (const std::string& s : netrove::bench::table_lines()) all[s.find(':') != std::string::npos].push_back(s);
    for (int f = 0; f < 2; ++f) {
      const std::size_t step = std::max<std::size_t>(1, all[f].size() / kSample);
      for (std::size_t i = 0; i < kSample; ++i) t.prefixes[f].push_back(all[f][i * step % all[f].size()]);
      for (const auto& p : t.prefixes[f]) {
        t.addresses[f].push_back(p.substr(0, p.find('/')));
        t.parsed[f].push_back(*netrove::parse_prefix(p));
      }
    }
    return t;
  }();
  return t;
}

/// Registers `name`: f on each of pick(texts()) in turn.
template <class Pick, class F>
void each(const std::string& name, Pick pick, F f) {
  benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
    const auto& v = pick(texts());
    std::size_t i = 0;
    for (auto _ : state) f(v[i++ & (kSample - 1)]);
    state.SetItemsProcessed(state.iterations());
  });
}

/// inet_pton of `family`; with `either`, IPv6 after IPv4 failed (parse_address's family detection).
void pton(const std::string& s, int family, bool either) {
  unsigned char out[16];
  int r = inet_pton(family, s.c_str(), out);
  if (either && r != 1) r = inet_pton(AF_INET6, s.c_str(), out);
  benchmark::DoNotOptimize(r);
  benchmark::DoNotOptimize(out);
}

/// A record of three attributes, the JSON reader and writer's case.
const netrove::Metadata kRecord{"allow", {{"asn", "AS13335"}, {"country", "US"}, {"note", "edge \"pop\" 12"}}};

[[maybe_unused]] const bool registered = [] {
  using S = const std::string&;
  for (int v6 = 0; v6 < 2; ++v6) {
    const std::string f = v6 ? "/v6" : "/v4";
    const auto addresses = [v6](const Texts& t) -> auto& { return t.addresses[v6]; };
    each("ParseAddress" + f, addresses, [](S s) { benchmark::DoNotOptimize(netrove::parse_address(s)); });
    each("InetPton" + f, addresses, [v6](S s) { pton(s, v6 ? AF_INET6 : AF_INET, false); });
    if (v6) each("InetPtonV4ThenV6/v6", addresses, [](S s) { pton(s, AF_INET, true); });
    each("ParsePrefix" + f, [v6](const Texts& t) -> auto& { return t.prefixes[v6]; },
         [](S s) { benchmark::DoNotOptimize(netrove::parse_prefix(s)); });
    each("PrefixField" + f, [v6](const Texts& t) -> auto& { return t.parsed[v6]; },
         [](const netrove::IpPrefix& p) { benchmark::DoNotOptimize(netrove::prefix_field(p)); });
  }
  benchmark::RegisterBenchmark("ToJson/3attrs", [](benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(netrove::to_json(kRecord));
  });
  benchmark::RegisterBenchmark("FromJson/3attrs", [](benchmark::State& state) {
    const std::string json = netrove::to_json(kRecord);
    for (auto _ : state) benchmark::DoNotOptimize(netrove::from_json(json));
  });
  // The reader's reference point: a copy of the record (three map nodes, no parsing).
  benchmark::RegisterBenchmark("CopyRecord/3attrs", [](benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(netrove::Metadata(kRecord));
  });
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
