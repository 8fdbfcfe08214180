// Text-form benchmarks: parse_address against glibc inet_pton on the same
// texts, parse_prefix, prefix_field, and the record JSON writer and reader.
//
// Addresses are the network addresses of the real routing table
// (NETROVE_BENCH_DATA, else ../shared/data/tier1-prefixes.txt.gz from the
// project root, else /work/shared/data/...); without it, random addresses.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "netrove/metadata.hpp"
#include "netrove/text.hpp"
#include "bench_table.hpp"

namespace {

constexpr std::size_t kSample = 4096;  // texts per family, a power of two

struct Texts {
  std::vector<std::string> v4_prefixes, v6_prefixes, v4, v6;
};

using netrove::bench::table_path;

/// Every (n / kSample)-th line of each family, so the sample spans the table.
void read_table(Texts& t) {
  const std::string path = table_path();
  if (path.empty()) return;
  const std::string cmd = "gzip -dc '" + path + "'";
  FILE* in = popen(cmd.c_str(), "r");
  if (!in) return;
  std::vector<std::string> v4, v6;
  char line[256];
  while (std::fgets(line, sizeof line, in)) {
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    if (s.empty()) continue;
    (s.find(':') == std::string::npos ? v4 : v6).push_back(std::move(s));
  }
  pclose(in);
  auto pick = [](const std::vector<std::string>& all, std::vector<std::string>& out) {
    if (all.size() < kSample) return;
    const std::size_t step = all.size() / kSample;
    for (std::size_t i = 0; i < kSample; ++i) out.push_back(all[i * step]);
  };
  pick(v4, t.v4_prefixes);
  pick(v6, t.v6_prefixes);
}

void fill_random(Texts& t) {
  std::mt19937_64 rng(1);
  while (t.v4_prefixes.size() < kSample) {
    std::array<std::uint8_t, 16> b{};
    for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(rng());
    t.v4_prefixes.push_back(netrove::format_address(netrove::kIpv4, b) + "/" + std::to_string(8 + rng() % 25));
  }
  while (t.v6_prefixes.size() < kSample) {
    std::array<std::uint8_t, 16> b{0x20, 0x01, 0x0d, 0xb8};
    for (int i = 4; i < 8; ++i) b[i] = static_cast<std::uint8_t>(rng());
    t.v6_prefixes.push_back(netrove::format_address(netrove::kIpv6, b) + "/" + std::to_string(32 + rng() % 33));
  }
}

const Texts& texts() {
  static const Texts t = [] {
    Texts t;
    read_table(t);
    fill_random(t);
    for (const auto& p : t.v4_prefixes) t.v4.push_back(p.substr(0, p.find('/')));
    for (const auto& p : t.v6_prefixes) t.v6.push_back(p.substr(0, p.find('/')));
    return t;
  }();
  return t;
}

template <std::vector<std::string> Texts::*Field>
void BM_ParseAddress(benchmark::State& state) {
  const auto& v = texts().*Field;
  std::size_t i = 0;
  for (auto _ : state) {
    auto a = netrove::parse_address(v[i++ & (kSample - 1)]);
    benchmark::DoNotOptimize(a);
  }
  state.SetItemsProcessed(state.iterations());
}

template <std::vector<std::string> Texts::*Field, int Family>
void BM_InetPton(benchmark::State& state) {
  const auto& v = texts().*Field;
  std::size_t i = 0;
  unsigned char out[16];
  for (auto _ : state) {
    int r = inet_pton(Family, v[i++ & (kSample - 1)].c_str(), out);
    benchmark::DoNotOptimize(r);
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations());
}

/// inet_pton asked as IPv4 first, then IPv6: the family detection that
/// parse_address does on its own.
template <std::vector<std::string> Texts::*Field>
void BM_InetPtonEitherFamily(benchmark::State& state) {
  const auto& v = texts().*Field;
  std::size_t i = 0;
  unsigned char out[16];
  for (auto _ : state) {
    const char* s = v[i++ & (kSample - 1)].c_str();
    int r = inet_pton(AF_INET, s, out);
    if (r != 1) r = inet_pton(AF_INET6, s, out);
    benchmark::DoNotOptimize(r);
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations());
}

template <std::vector<std::string> Texts::*Field>
void BM_ParsePrefix(benchmark::State& state) {
  const auto& v = texts().*Field;
  std::size_t i = 0;
  for (auto _ : state) {
    auto p = netrove::parse_prefix(v[i++ & (kSample - 1)]);
    benchmark::DoNotOptimize(p);
  }
  state.SetItemsProcessed(state.iterations());
}

template <std::vector<std::string> Texts::*Field>
void BM_PrefixField(benchmark::State& state) {
  std::vector<netrove::IpPrefix> prefixes;
  for (const auto& s : texts().*Field) prefixes.push_back(*netrove::parse_prefix(s));
  std::size_t i = 0;
  for (auto _ : state) {
    auto s = netrove::prefix_field(prefixes[i++ & (kSample - 1)]);
    benchmark::DoNotOptimize(s);
  }
  state.SetItemsProcessed(state.iterations());
}

netrove::Metadata three_attributes() {
  netrove::Metadata m;
  m.value = "allow";
  m.attributes["asn"] = "AS13335";
  m.attributes["country"] = "US";
  m.attributes["note"] = "edge \"pop\" 12";
  return m;
}

void BM_ToJson(benchmark::State& state) {
  const netrove::Metadata m = three_attributes();
  for (auto _ : state) {
    auto s = netrove::to_json(m);
    benchmark::DoNotOptimize(s);
  }
}

void BM_FromJson(benchmark::State& state) {
  const std::string json = netrove::to_json(three_attributes());
  for (auto _ : state) {
    auto m = netrove::from_json(json);
    benchmark::DoNotOptimize(m);
  }
}

/// Reference point for the reader: copying a record of the same shape (a
/// fresh map, three nodes, no parsing).
void BM_CopyRecord(benchmark::State& state) {
  const netrove::Metadata m = three_attributes();
  for (auto _ : state) {
    netrove::Metadata copy = m;
    benchmark::DoNotOptimize(copy);
  }
}

}  // namespace

BENCHMARK(BM_ParseAddress<&Texts::v4>)->Name("ParseAddress/v4");
BENCHMARK(BM_InetPton<&Texts::v4, AF_INET>)->Name("InetPton/v4");
BENCHMARK(BM_ParseAddress<&Texts::v6>)->Name("ParseAddress/v6");
BENCHMARK(BM_InetPton<&Texts::v6, AF_INET6>)->Name("InetPton/v6");
BENCHMARK(BM_InetPtonEitherFamily<&Texts::v6>)->Name("InetPtonV4ThenV6/v6");
BENCHMARK(BM_ParsePrefix<&Texts::v4_prefixes>)->Name("ParsePrefix/v4");
BENCHMARK(BM_ParsePrefix<&Texts::v6_prefixes>)->Name("ParsePrefix/v6");
BENCHMARK(BM_PrefixField<&Texts::v4_prefixes>)->Name("PrefixField/v4");
BENCHMARK(BM_PrefixField<&Texts::v6_prefixes>)->Name("PrefixField/v6");
BENCHMARK(BM_ToJson)->Name("ToJson/3attrs");
BENCHMARK(BM_FromJson)->Name("FromJson/3attrs");
BENCHMARK(BM_CopyRecord)->Name("CopyRecord/3attrs");

BENCHMARK_MAIN();
