// Hybrid engine with a Redis store, against a redis-server this program
// starts on 127.0.0.1 (and stops):
//
//   BM_HybridInsertNoStore     inserts per second without a store: the local
//                              engines' share of every insert
//   BM_HybridInsertPooled      inserts per second, connections kept open
//   BM_HybridInsertUnpooled    the same with one TCP connection per command
//                              (StoreOptions::pooled = false, the old way)
//   BM_StartupLoad             start-up of an engine over a hash of 100k
//                              entries (HGETALL, parse, two trie inserts each)
//   BM_FetchEntries            the HGETALL of those entries alone
//   BM_RedisBenchmarkHset      redis-benchmark sending HSET to the same server:
//                              the ceiling for one client without pipelining
//
// Prefixes are the first 100k of the real routing table (NETROVE_BENCH_DATA,
// else ../shared/data/tier1-prefixes.txt.gz, else /work/shared/data/...);
// without it, synthetic /24s.  The unpooled run is held to a fixed number
// of iterations: each of its connections lingers in TIME_WAIT for a minute.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "../tests/cpp/support/redis_server.hpp"
#include "netrove/factory.hpp"
#include "store/hybrid_engine.hpp"
#include "netrove/metadata.hpp"
#include "netrove/text.hpp"
#include "bench_table.hpp"

namespace {

constexpr std::size_t kLoadEntries = 100000;

netrove::testing::RedisServer& server() { return netrove::testing::RedisServer::get(); }

using netrove::bench::table_path;

// kLoadEntries prefix texts: the table's first lines, else synthetic /24s.
const std::vector<std::string>& prefixes() {
  static const std::vector<std::string> out = [] {
    std::vector<std::string> v;
    if (const std::string path = table_path(); !path.empty()) {
      const std::string cmd = "gzip -dc '" + path + "'";
      if (FILE* in = popen(cmd.c_str(), "r")) {
        char line[256];
        while (v.size() < kLoadEntries && std::fgets(line, sizeof line, in)) {
          std::string s(line);
          while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
          if (!s.empty() && netrove::parse_prefix(s)) v.push_back(std::move(s));
        }
        pclose(in);
      }
    }
    for (std::size_t i = 0; v.size() < kLoadEntries; ++i)
      v.push_back("10." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) + ".0/24");
    return v;
  }();
  return out;
}

netrove::Metadata record(std::size_t i) {
  netrove::Metadata m;
  m.value = "AS" + std::to_string(64500 + i % 1000);
  m.attributes.emplace("origin", "bench");
  return m;
}

std::unique_ptr<netrove::HybridEngine> start(const netrove::StoreOptions& options) {
  netrove::EngineConfig c;
  c.enable_redis = true;
  c.redis_url = server().tcp_url() + "/1";  // db 1: the write benchmarks' own
  std::string error;
  auto h = netrove::HybridEngine::start(c, options, error);
  if (!h) std::fprintf(stderr, "start-up failed: %s\n", error.c_str());
  return h;
}

enum Mode { kUnpooled = 0, kPooled = 1, kNoStore = 2 };

void BM_HybridInsert(benchmark::State& state, Mode mode) {
  static std::unique_ptr<netrove::HybridEngine> engines[3];
  netrove::StoreOptions options;
  options.pooled = mode == kPooled;
  if (state.thread_index() == 0 && !engines[mode]) {
    if (mode == kNoStore) {
      netrove::EngineConfig c;
      c.enable_redis = true;
      std::string error;
      engines[mode] = netrove::HybridEngine::start(c, error);
    } else {
      engines[mode] = start(options);
    }
  }
  // Every thread waits for thread 0 at the first iteration.
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 1000003u;
  const auto& texts = prefixes();
  std::vector<netrove::IpPrefix> parsed;
  parsed.reserve(4096);
  for (std::size_t k = 0; k < 4096; ++k) parsed.push_back(*netrove::parse_prefix(texts[(i + k) % texts.size()]));
  std::size_t k = 0;
  for (auto _ : state) {
    auto r = engines[mode]->insert(parsed[k++ % parsed.size()], record(i++));
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0 && engines[mode]->store())
    state.counters["idle_connections"] = static_cast<double>(engines[mode]->store()->idle_connections());
}

void BM_HybridInsertPooled(benchmark::State& state) { BM_HybridInsert(state, kPooled); }
void BM_HybridInsertUnpooled(benchmark::State& state) { BM_HybridInsert(state, kUnpooled); }
void BM_HybridInsertNoStore(benchmark::State& state) { BM_HybridInsert(state, kNoStore); }

// Fills netrove:entries in db 0 with kLoadEntries pairs, 1000 per HSET.
void fill_hash() {
  static bool filled = false;
  if (filled) return;
  const auto& texts = prefixes();
  server().command({"DEL", "netrove:entries"});
  for (std::size_t base = 0; base < texts.size(); base += 1000) {
    std::vector<std::string> argv = {"HSET", "netrove:entries"};
    for (std::size_t i = base; i < std::min(base + 1000, texts.size()); ++i) {
      argv.push_back(texts[i]);
      argv.push_back(netrove::to_json(record(i)));
    }
    server().command(argv);
  }
  filled = true;
}

void BM_StartupLoad(benchmark::State& state) {
  fill_hash();
  netrove::EngineConfig c;
  c.enable_redis = true;
  c.redis_url = server().tcp_url();
  std::uint64_t loaded = 0;
  for (auto _ : state) {
    auto engine = netrove::create_engine(c);
    loaded = engine->len();
    state.PauseTiming();
    engine.reset();  // destruction is not start-up
    state.ResumeTiming();
  }
  state.counters["entries"] = static_cast<double>(loaded);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(loaded));
}

void BM_FetchEntries(benchmark::State& state) {
  fill_hash();
  auto store = netrove::open_store(server().tcp_url());
  if (!store.ok()) {
    state.SkipWithError(store.error().message.c_str());
    return;
  }
  std::size_t n = 0;
  for (auto _ : state) {
    auto entries = store.value()->fetch_entries();
    n = entries.ok() ? entries.value().size() : 0;
  }
  state.counters["entries"] = static_cast<double>(n);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}

// redis-benchmark -c <clients> HSET of a record-sized value, without
// pipelining; reports its requests per second.
void BM_RedisBenchmarkHset(benchmark::State& state) {
  const std::string json = netrove::to_json(record(7));
  const std::string cmd = "redis-benchmark -h 127.0.0.1 -p " + std::to_string(server().port()) +
                          " -n 50000 -r 1000000 -c " + std::to_string(state.range(0)) +
                          " --csv HSET netrove:ceiling 'f:__rand_int__' '" + json + "' 2>/dev/null";
  double rps = 0;
  for (auto _ : state) {
    FILE* out = popen(cmd.c_str(), "r");
    if (!out) {
      state.SkipWithError("redis-benchmark did not run");
      return;
    }
    char line[512];
    while (std::fgets(line, sizeof line, out)) {
      // CSV: "test","rps", then six latencies.  The test name holds the
      // JSON's own quotes, so count the separators from the end.
      const std::string s(line);
      if (s.rfind("\"test\"", 0) == 0) continue;
      std::size_t at = s.size();
      for (int sep = 0; sep < 7 && at != std::string::npos && at > 0; ++sep) at = s.rfind("\",\"", at - 1);
      if (at != std::string::npos) rps = std::atof(s.c_str() + at + 3);
    }
    pclose(out);
  }
  if (rps == 0) state.SkipWithError("no rate from redis-benchmark");
  state.counters["requests_per_second"] = rps;
}

}  // namespace

BENCHMARK(BM_HybridInsertNoStore)->UseRealTime()->Threads(1)->Threads(4);
BENCHMARK(BM_HybridInsertPooled)->UseRealTime()->Threads(1)->Threads(4);
BENCHMARK(BM_HybridInsertUnpooled)->UseRealTime()->Iterations(2000)->Threads(1);
BENCHMARK(BM_HybridInsertUnpooled)->UseRealTime()->Iterations(500)->Threads(4);
BENCHMARK(BM_StartupLoad)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_FetchEntries)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_RedisBenchmarkHset)->Arg(1)->Arg(4)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  server();  // started on the main thread, which outlives every benchmark
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
