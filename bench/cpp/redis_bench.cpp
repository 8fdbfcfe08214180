// redis_bench - the hybrid engine over the IPv4 table with its own redis-server (127.0.0.1 and a
// Unix socket; none installed: exits 0): writes through the store, start-up and fetch of the hash,
// and what followers pay on lookups, how far behind a writer they answer, how fast they apply.
#include <thread>

#include "common/engines.hpp"
#include "engine/factory_internal.hpp"
#include "netrove/text.hpp"
#include "store/hybrid_engine.hpp"
#include "store/update_event.hpp"
#include "support/redis_server.hpp"

namespace {

using namespace netrove;
namespace nb = netrove::bench;
using Clock = std::chrono::steady_clock;

testing::RedisServer& server() { return testing::RedisServer::get(); }
std::string url(int db = 0) { return server().tcp_url() + (db ? "/" + std::to_string(db) : ""); }

Metadata record(std::size_t i) { return nb::record_for(i, 1000, true); }

const std::vector<IpPrefix>& ipv4() {
  static const auto v = nb::of_family(nb::table_prefixes(), kIpv4);
  return v;
}

std::vector<std::pair<IpPrefix, Metadata>> entries(std::size_t n, std::size_t shift = 0) {
  std::vector<std::pair<IpPrefix, Metadata>> v;
  v.reserve(n);
  for (std::size_t i = 0; i < n; ++i) v.emplace_back(ipv4()[i], record(i + shift));
  return v;
}

/// A hybrid engine over `where` ("" for none); `compressed`: a path-compressed write engine.
std::unique_ptr<HybridEngine> open(const std::string& where, bool follow = false, bool compressed = true,
                                   const StoreOptions& options = {}) {
  EngineConfig c;
  c.enable_redis = true;
  if (!where.empty()) c.redis_url = where;
  c.follow = follow;
  c.write_path_compression = compressed;
  std::string error;
  auto e = HybridEngine::start(c, options, error);
  if (!e) std::fprintf(stderr, "redis_bench: start-up failed: %s\n", error.c_str()), std::exit(1);
  return e;
}

/// netrove:entries in db 0 holding the IPv4 table.
void fill_hash() {
  if (server().integer({"HLEN", "netrove:entries"}) == static_cast<long long>(ipv4().size())) return;
  server().command({"DEL", "netrove:entries"});
  (void)open(url())->insert_many(entries(ipv4().size()));
}

/// Polls done() every `pause` (none: spins); false after `limit` without it.
template <class F>
bool wait_for(F done, std::chrono::seconds limit, std::chrono::microseconds pause = {}) {
  for (const auto t0 = Clock::now(); !done(); std::this_thread::sleep_for(pause))
    if (Clock::now() - t0 > limit) return false;
  return true;
}

enum Mode { kUnpooled = 0, kPooled = 1, kNoStore = 2 };

/// Single inserts, one round trip each (into db 1), each thread over its own 4096 prefixes.
void BM_HybridInsert(benchmark::State& state, Mode mode) {
  static auto* engines = new std::unique_ptr<HybridEngine>[3];  // never destroyed
  if (state.thread_index() == 0 && !engines[mode]) {
    StoreOptions options;
    options.pooled = mode == kPooled;
    engines[mode] = open(mode == kNoStore ? "" : url(1), false, false, options);
  }
  const auto& v = ipv4();
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 1000003u, k = 0;
  for (auto _ : state) {  // every thread starts once thread 0 has its engine
    auto r = engines[mode]->insert(v[(i + k++ % 4096) % v.size()], record(i + k));
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0 && engines[mode]->store())
    state.counters["idle_connections"] = static_cast<double>(engines[mode]->store()->idle_connections());
}

/// One insert_many of the IPv4 table into the empty hash of db 0, through a
/// store or without one; with the server's own time for its scripts.
void BM_HybridInsertMany(benchmark::State& state) {
  const bool store = state.range(0) != 0;
  std::string eval;
  for (auto _ : state) {
    state.PauseTiming();
    if (store) server().command({"DEL", "netrove:entries"});
    auto e = open(store ? url() : "");
    auto batch = entries(ipv4().size());
    server().command({"CONFIG", "RESETSTAT"});
    state.ResumeTiming();
    (void)e->insert_many(std::move(batch));
    state.PauseTiming();
    const std::string stats = server().text({"INFO", "commandstats"});
    const auto at = stats.find("cmdstat_eval:");
    eval = at == std::string::npos ? "" : stats.substr(at, stats.find('\r', at) - at);
    e.reset();
    state.ResumeTiming();
  }
  const double n = static_cast<double>(ipv4().size());
  if (store && server().integer({"HLEN", "netrove:entries"}) != static_cast<long long>(n))
    state.SkipWithError("the hash misses entries");
  state.counters["prefixes"] = n;
  state.counters["per_prefix"] = nb::per_op(static_cast<double>(state.iterations()) * n);
  if (const auto u = eval.find(",usec="); store && u != std::string::npos) {
    state.counters["server_us_per_prefix"] = std::atof(eval.c_str() + u + 6) / n;
    state.counters["server_calls"] = std::atof(eval.c_str() + eval.find("calls=") + 6);
  }
}

/// Start-up over the hash (HGETALL, parse, both engines loaded), plain or following.
void BM_StartupLoad(benchmark::State& state) {
  fill_hash();
  std::uint64_t loaded = 0;
  for (auto _ : state) {
    auto engine = open(url(), state.range(0) != 0, state.range(0) != 0);
    loaded = engine->len();
    state.PauseTiming();
    engine.reset();  // destruction is not start-up
    state.ResumeTiming();
  }
  if (loaded != ipv4().size()) state.SkipWithError("start-up loaded a part of the hash");
  state.counters["entries"] = static_cast<double>(loaded);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(loaded));
}

/// The HGETALL of the hash alone.
void BM_FetchEntries(benchmark::State& state) {
  fill_hash();
  auto store = open_store(url());
  if (!store.ok()) return state.SkipWithError(store.error().message.c_str());
  std::size_t n = 0;
  for (auto _ : state) {
    auto got = store.value()->fetch_entries();
    n = got.ok() ? got.value().size() : 0;
  }
  state.counters["entries"] = static_cast<double>(n);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}

/// Lookups of a hybrid engine over the hash, following or not, against its
/// own read engine, alternated on the same addresses.
void BM_FollowLookup(benchmark::State& state) {
  fill_hash();
  constexpr std::size_t kN = std::size_t{1} << 20, kPer = 4096;
  static const auto addrs = nb::inside_addresses(ipv4(), kN, 1);
  auto e = open(url(), state.range(0) != 0);
  std::size_t found = 0;
  auto run = [&](const RecordLender& l, std::size_t from) {
    for (std::size_t i = 0; i < kPer; ++i) found += l.lookup_with(addrs[(from + i) & (kN - 1)], {});
  };
  const auto& hybrid = dynamic_cast<const RecordLender&>(*e);
  nb::alternate(state, "hybrid", "read", kPer, kN - 1, [&](std::size_t f) { run(hybrid, f); },
                [&](std::size_t f) { run(e->read_engine(), f); });
  if (found == 0) state.SkipWithError("no address found");
}

/// A writer's insert and a follower answering it, over TCP loopback: from the
/// insert returning ("lag") and from its call ("call"), median and p99.
void BM_FollowLag(benchmark::State& state) {
  server().command({"DEL", "netrove:entries"});
  auto follower = open(url(), true), writer = open(url());
  std::vector<double> lag, call;
  std::size_t i = 0;
  const auto us = [](Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); };
  for (auto _ : state) {
    const IpPrefix& p = ipv4()[i % ipv4().size()];
    const auto called = Clock::now();
    (void)writer->insert(p, record(i++));
    const auto t0 = Clock::now();
    if (!wait_for([&] { return follower->contains_prefix(p); }, std::chrono::seconds(10)))
      return state.SkipWithError("the follower never saw an insert");
    const auto t1 = Clock::now();
    lag.push_back(us(t1 - t0)), call.push_back(us(t1 - called));
  }
  for (auto& [name, v] : {std::pair{"lag", &lag}, std::pair{"call", &call}}) {
    std::sort(v->begin(), v->end());
    state.counters[name + std::string("_median_us")] = (*v)[v->size() / 2];
    state.counters[name + std::string("_p99_us")] = (*v)[v->size() * 99 / 100];
  }
  state.counters["lag_max_us"] = lag.back();
}

/// Events a second a follower applies: a "clear" sent by hand holds it in a reload while a
/// writer streams insert_many at it; the backlog it drains after shows its own rate.
void BM_FollowApply(benchmark::State& state) {
  fill_hash();
  auto writer = open(url()), follower = open(url(), true);
  const std::size_t n = std::min<std::size_t>(ipv4().size(), 200000);
  const std::chrono::seconds limit(60);
  const std::chrono::microseconds pause(200);
  std::uint64_t queued = 0;
  double drain = 0;
  for (auto _ : state) {
    auto batch = entries(n, 7);
    const auto before = *follower->follow_stats();
    server().command({"PUBLISH", "netrove:updates", "clear"});
    (void)writer->insert_many(std::move(batch));
    if (!wait_for([&] { return follower->follow_stats()->resyncs > before.resyncs; }, limit, pause))
      return state.SkipWithError("the follower did not reload");
    queued = before.events_applied + n - follower->follow_stats()->events_applied;
    const auto t0 = Clock::now();
    if (!wait_for([&] { return follower->follow_stats()->events_applied >= before.events_applied + n; }, limit, pause))
      return state.SkipWithError("the follower did not apply every event");
    drain = std::chrono::duration<double>(Clock::now() - t0).count();
  }
  state.counters["events"] = static_cast<double>(n);
  state.counters["queued_after_reload"] = static_cast<double>(queued);
  state.counters["events_per_second"] = queued ? static_cast<double>(queued) / drain : 0;
  if (queued == 0) state.SetLabel("nothing was left queued after the reload: no rate");
}

/// The in-process part of an apply: decode the event, parse field and JSON, insert.
void BM_ApplyCore(benchmark::State& state) {
  const std::size_t n = std::min<std::size_t>(ipv4().size(), 200000);
  std::vector<std::string> payloads;
  for (std::size_t i = 0; i < n; ++i)
    payloads.push_back(encode_event({"insert", prefix_field(ipv4()[i]), to_json(record(i))}));
  for (auto _ : state) {
    state.PauseTiming();
    auto local = std::make_unique<LocalEngine>(build_local(0, 0, true, std::nullopt));
    state.ResumeTiming();
    for (const std::string& s : payloads) {
      const auto e = decode_event(s);
      (void)local->insert(*parse_prefix(e->field), *from_json(*e->json));
    }
    state.PauseTiming();
    if (local->len() != n) state.SkipWithError("events were lost");
    local.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}

// Wall time throughout (the server does much of the work), but for the in-process apply.
[[maybe_unused]] const bool registered = [] {
  using benchmark::kMillisecond;
  auto reg = [](const char* name, auto fn, auto... args) {
    return benchmark::RegisterBenchmark(name, fn, args...)->UseRealTime();
  };
  reg("BM_HybridInsertNoStore", BM_HybridInsert, kNoStore)->Threads(1)->Threads(4);
  reg("BM_HybridInsertPooled", BM_HybridInsert, kPooled)->Threads(1)->Threads(4);
  // Held to a fixed count: each connection lingers in TIME_WAIT for a minute.
  reg("BM_HybridInsertUnpooled", BM_HybridInsert, kUnpooled)->Iterations(2000);
  reg("BM_HybridInsertUnpooled", BM_HybridInsert, kUnpooled)->Iterations(500)->Threads(4);
  reg("BM_HybridInsertMany", BM_HybridInsertMany)->Arg(0)->Arg(1)->ArgName("store")->Iterations(1)->Unit(kMillisecond);
  reg("BM_StartupLoad", BM_StartupLoad)->Arg(0)->Arg(1)->ArgName("follow")->Iterations(3)->Unit(kMillisecond);
  reg("BM_FetchEntries", BM_FetchEntries)->Iterations(3)->Unit(kMillisecond);
  reg("BM_FollowLookup", BM_FollowLookup)->Arg(0)->Arg(1)->ArgName("follow");
  reg("BM_FollowLag", BM_FollowLag)->Iterations(2000);
  reg("BM_FollowApply", BM_FollowApply)->Iterations(1)->Unit(kMillisecond);
  benchmark::RegisterBenchmark("BM_ApplyCore", BM_ApplyCore)->Iterations(3)->Unit(kMillisecond);
  return true;
}();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  try {
    if (std::system("command -v redis-server > /dev/null 2>&1") != 0) throw std::runtime_error("no redis-server");
    server();  // started on the main thread, which outlives every benchmark
  } catch (const std::exception& e) {
    std::fprintf(stderr, "redis_bench: skipped (%s)\n", e.what());
    return 0;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
