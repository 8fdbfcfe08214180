// Update events and follow mode, side by side in one run, against a
// redis-server this program starts on 127.0.0.1 and a Unix socket (and
// stops):
//
//   1. bulk load   the IPv4 table through a hybrid engine with a store:
//                  insert_many (kBatchChunk writes per round trip) against
//                  one insert per prefix (one round trip each) over the
//                  first kSingles prefixes; ratio of the per-prefix times
//   2. lookups     a following engine over the loaded table against its own
//                  read engine, and a non-following one likewise; the same
//                  addresses, rounds interleaved
//   3. follow lag  a writer's insert returning -> the follower answering it,
//                  over TCP loopback; median and 99th percentile
//   4. apply rate  events per second a follower applies while a writer
//                  streams insert_many batches at it; and the in-process
//                  part of one apply (decode, parse, insert) alone
//
// The table is NETROVE_BENCH_DATA, else ../shared/data/tier1-prefixes.txt.gz,
// else /work/shared/data/... (IPv4 lines only).  Usage: follow_bench [lookups]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../tests/cpp/support/redis_server.hpp"
#include "bench_table.hpp"
#include "engine/factory_internal.hpp"
#include "store/hybrid_engine.hpp"
#include "netrove/metadata.hpp"
#include "netrove/text.hpp"
#include "store/update_event.hpp"

using Clock = std::chrono::steady_clock;
using netrove::HybridEngine;
using netrove::IpAddress;
using netrove::IpPrefix;
using netrove::Metadata;

namespace {

constexpr std::size_t kSingles = 20000;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

std::vector<IpPrefix> ipv4_table() {
  std::vector<IpPrefix> v;
  const std::string path = netrove::bench::table_path();
  if (path.empty()) return v;
  const std::string cmd = "gzip -dc '" + path + "'";
  if (FILE* in = popen(cmd.c_str(), "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, in)) {
      std::string s(line);
      while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
      if (auto p = netrove::parse_prefix(s); p && p->family == netrove::kIpv4) v.push_back(*p);
    }
    pclose(in);
  }
  return v;
}

Metadata record(std::size_t i) {
  Metadata m;
  m.value = "AS" + std::to_string(64500 + i % 1000);
  m.attributes.emplace("origin", "bench");
  return m;
}

std::unique_ptr<HybridEngine> open(const std::string& url, bool follow) {
  netrove::EngineConfig c;
  c.enable_redis = true;
  c.redis_url = url;
  c.follow = follow;
  c.write_path_compression = true;  // a compressed write engine: the table is large
  std::string error;
  auto e = HybridEngine::start(c, error);
  if (!e) {
    std::fprintf(stderr, "start-up failed: %s\n", error.c_str());
    std::exit(1);
  }
  return e;
}

template <class Pred>
void wait_for(Pred pred) {
  while (!pred()) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

// ns per lookup of `e` over `addrs`.
double lookup_ns(const netrove::Engine& e, const std::vector<IpAddress>& addrs) {
  const auto* lender = dynamic_cast<const netrove::RecordLender*>(&e);
  std::size_t found = 0;
  const auto t0 = Clock::now();
  for (const IpAddress& a : addrs) found += lender->lookup_with(a, netrove::RecordVisitor{});
  const double s = seconds_since(t0);
  if (found == 0) std::fprintf(stderr, "no address found\n");
  return s * 1e9 / static_cast<double>(addrs.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // lines show as they come, even piped
  const std::size_t n_lookups = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2000000;
  netrove::testing::RedisServer& server = netrove::testing::RedisServer::get();
  const std::vector<IpPrefix> table = ipv4_table();
  if (table.size() < kSingles) {
    std::fprintf(stderr, "routing table not found\n");
    return 1;
  }
  std::printf("IPv4 table: %zu prefixes\n", table.size());

  // 1. Bulk load against one round trip per prefix.
  {
    auto writer = open(server.tcp_url() + "/1", false);
    auto t0 = Clock::now();
    for (std::size_t i = 0; i < kSingles; ++i) (void)writer->insert(table[i], record(i));
    const double single = seconds_since(t0) / kSingles;
    server.command({"SELECT", "1"});
    server.command({"FLUSHDB"});
    server.command({"SELECT", "0"});
    std::vector<std::pair<IpPrefix, Metadata>> batch;
    batch.reserve(table.size());
    for (std::size_t i = 0; i < table.size(); ++i) batch.emplace_back(table[i], record(i));
    netrove::EngineConfig local_only;
    local_only.enable_redis = true;
    local_only.write_path_compression = true;
    std::string error;
    auto no_store = HybridEngine::start(local_only, error);
    auto local_batch = batch;
    t0 = Clock::now();
    (void)no_store->insert_many(std::move(local_batch));
    const double local_total = seconds_since(t0);
    no_store.reset();
    auto bulk_writer = open(server.tcp_url(), false);
    server.command({"CONFIG", "RESETSTAT"});
    t0 = Clock::now();
    (void)bulk_writer->insert_many(std::move(batch));
    const double bulk_total = seconds_since(t0);
    const std::string cmdstats = server.text({"INFO", "commandstats"});
    const auto at = cmdstats.find("cmdstat_eval:");
    std::printf("server side: %s\n", at == std::string::npos ? "?" : cmdstats.substr(at, cmdstats.find('\n', at) - at).c_str());
    std::printf("the same insert_many without a store (local engines only): %.2f s\n", local_total);
    const double bulk = bulk_total / static_cast<double>(table.size());
    std::printf("bulk load: one insert per prefix %.2f us/prefix (%zu prefixes); insert_many %.2f us/prefix "
                "(%zu prefixes, %.2f s); ratio %.1fx (hash holds %lld)\n",
                single * 1e6, kSingles, bulk * 1e6, table.size(), bulk_total, single / bulk,
                server.integer({"HLEN", "netrove:entries"}));
  }

  // 2. Lookups: a hybrid engine against its own read engine.
  if (std::getenv("NETROVE_BENCH_SKIP_LOOKUPS") == nullptr) {
    std::mt19937 rng(1);
    std::vector<IpAddress> addrs(n_lookups);
    for (auto& a : addrs) {
      const IpPrefix& p = table[rng() % table.size()];
      a.bytes = {p.address[0], p.address[1], p.address[2], static_cast<std::uint8_t>(rng())};
    }
    auto t0 = Clock::now();
    auto follower = open(server.tcp_url(), true);
    const double follower_load = seconds_since(t0);
    auto plain = open(server.tcp_url(), false);
    double f = 1e18, fr = 1e18, p = 1e18, pr = 1e18;
    for (int round = 0; round < 5; ++round) {  // best of five, interleaved
      f = std::min(f, lookup_ns(*follower, addrs));
      fr = std::min(fr, lookup_ns(follower->read_engine(), addrs));
      p = std::min(p, lookup_ns(*plain, addrs));
      pr = std::min(pr, lookup_ns(plain->read_engine(), addrs));
    }
    std::printf("follower start-up (subscribe + load %llu): %.2f s\n",
                static_cast<unsigned long long>(follower->len()), follower_load);
    std::printf("lookups (ns, best of 5 x %zu): following hybrid %.1f vs its read engine %.1f (ratio %.3f); "
                "plain hybrid %.1f vs its read engine %.1f (ratio %.3f)\n",
                n_lookups, f, fr, f / fr, p, pr, p / pr);
  }

  // 3. Follow lag over TCP loopback.
  {
    server.command({"DEL", "netrove:entries"});
    auto follower = open(server.tcp_url(), true);
    auto writer = open(server.tcp_url(), false);
    std::vector<double> lags, from_call;
    constexpr int kSamples = 2000;
    for (int i = 0; i < kSamples; ++i) {
      const IpPrefix& p = table[static_cast<std::size_t>(i)];
      const auto called = Clock::now();
      (void)writer->insert(p, record(static_cast<std::size_t>(i)));
      const auto t0 = Clock::now();
      while (!follower->contains_prefix(p)) {
      }
      lags.push_back(seconds_since(t0) * 1e6);
      from_call.push_back(seconds_since(called) * 1e6);
    }
    std::sort(lags.begin(), lags.end());
    std::sort(from_call.begin(), from_call.end());
    std::printf("follow lag (us, %d inserts): insert returned -> follower answers: median %.1f, p99 %.1f, max %.1f; "
                "insert called -> follower answers: median %.1f, p99 %.1f\n",
                kSamples, lags[lags.size() / 2], lags[lags.size() * 99 / 100], lags.back(),
                from_call[from_call.size() / 2], from_call[from_call.size() * 99 / 100]);
  }

  // 4. Apply rate.  The follower is held in a reload of a big hash (a
  // "clear" message sent by hand, which leaves the hash as it is) while a
  // writer streams insert_many batches into the channel; once the reload is
  // done the follower drains that backlog, which measures its own rate.
  {
    auto writer = open(server.tcp_url(), false);
    {
      std::vector<std::pair<IpPrefix, Metadata>> whole;
      for (std::size_t i = 0; i < table.size(); ++i) whole.emplace_back(table[i], record(i));
      (void)writer->insert_many(std::move(whole));  // a big hash: a reload takes seconds
    }
    auto follower = open(server.tcp_url(), true);
    const std::size_t n = std::min<std::size_t>(table.size(), 200000);
    std::vector<std::pair<IpPrefix, Metadata>> batch;
    for (std::size_t i = 0; i < n; ++i) batch.emplace_back(table[i], record(i + 7));
    const std::uint64_t before = follower->follow_stats()->events_applied;
    server.command({"PUBLISH", "netrove:updates", "clear"});
    (void)writer->insert_many(std::move(batch));
    wait_for([&] { return follower->follow_stats()->resyncs >= 1; });
    const std::uint64_t queued = before + n - follower->follow_stats()->events_applied;
    const auto t0 = Clock::now();
    wait_for([&] { return follower->follow_stats()->events_applied >= before + n; });
    const double drain = seconds_since(t0);
    const auto stats = *follower->follow_stats();
    std::printf("apply rate: %llu of %zu events still queued when the reload ended, drained in %.3f s: "
                "%.0f events/s (resyncs %llu)\n",
                static_cast<unsigned long long>(queued), n, drain, static_cast<double>(queued) / drain,
                static_cast<unsigned long long>(stats.resyncs));
    // The in-process part of an apply: decode, parse the field and the JSON, insert.
    std::vector<std::string> payloads;
    for (std::size_t i = 0; i < n; ++i)
      payloads.push_back(netrove::encode_event(
          {"insert", netrove::prefix_field(table[i]), netrove::to_json(record(i))}));
    netrove::LocalEngine local = netrove::build_local(0, 0, true, std::nullopt);
    const auto t1 = Clock::now();
    for (const std::string& s : payloads) {
      const auto e = netrove::decode_event(s);
      (void)local.insert(*netrove::parse_prefix(e->field), *netrove::from_json(*e->json));
    }
    std::printf("apply core (decode + parse + insert, no network): %.0f events/s\n",
                static_cast<double>(n) / seconds_since(t1));
  }
  return 0;
}
