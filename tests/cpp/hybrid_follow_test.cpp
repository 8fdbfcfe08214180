// Update events and follow mode, against a redis-server of the test's own:
// the event texts on the wire, writers in other processes (one writer
// against an oracle, two racing writers against the hash), a server restart
// and a killed subscription in the middle of a stream, bad fields and
// events, clear, bulk writes, and fork().
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "engine/factory_internal.hpp"
#include "store/hybrid_engine.hpp"
#include "netrove/metadata.hpp"
#include "netrove/text.hpp"
#include "store/update_event.hpp"
#include "redis_test_server.hpp"

using namespace std::chrono_literals;
using netrove::EngineConfig;
using netrove::HybridEngine;
using netrove::IpAddress;
using netrove::IpPrefix;
using netrove::Metadata;
using netrove::UpdateEvent;
using netrove::testing::RedisTestServer;

namespace {

constexpr auto kConverge = 1s;  // a follower is in step this soon after the last write

// Short time-outs: a write while the server is down fails fast.
netrove::StoreOptions quick() {
  netrove::StoreOptions o;
  o.connect_timeout = 500ms;
  o.command_timeout = 500ms;
  o.open_attempts = 3;
  o.backoff_factor = 10ms;
  return o;
}

std::unique_ptr<HybridEngine> open(const std::string& url, bool follow) {
  EngineConfig c;
  c.enable_redis = true;
  c.redis_url = url;
  c.follow = follow;
  std::string error;
  auto e = HybridEngine::start(c, quick(), error);
  if (!e) throw std::runtime_error("start-up failed: " + error);
  return e;
}

// Prefix i of the universe: 10.x.y.0/24 with x = i / 256, y = i % 256,
// except that y = 0 gives the /16 10.x.0.0/16 above them.
IpPrefix prefix_of(int i) {
  IpPrefix p;
  p.address = {10, static_cast<std::uint8_t>(i / 256), static_cast<std::uint8_t>(i % 256), 0};
  p.length = 24;
  if (i % 256 == 0) p.length = 16;
  return p;
}

// A record whose value names its prefix, so any answer can be checked to
// come from a prefix that covers the address.
Metadata record_of(const IpPrefix& p, int version) {
  Metadata m;
  m.value = netrove::prefix_field(p) + "#" + std::to_string(version);
  m.attributes.emplace("v", std::to_string(version));
  return m;
}

bool answer_is_plausible(const IpAddress& a, const std::optional<Metadata>& m) {
  if (!m) return true;
  const auto hash = m->value.find('#');
  const auto p = netrove::parse_prefix(m->value.substr(0, hash));
  return hash != std::string::npos && p && p->contains(a);
}

template <class Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// The table as a field -> JSON map: from the server's hash, or from an
// engine probed on every prefix of the universe (exact prefixes only).
using Table = std::map<std::string, std::string>;

Table hash_table(RedisTestServer& server) {
  Table t;
  const netrove::testing::Reply r = server.command({"HGETALL", "netrove:entries"});
  for (std::size_t i = 0; i + 1 < r->elements; i += 2)
    t.emplace(std::string(r->element[i]->str, r->element[i]->len),
              std::string(r->element[i + 1]->str, r->element[i + 1]->len));
  return t;
}

Table engine_table(const netrove::Engine& e, int universe) {
  Table t;
  for (int i = 0; i < universe; ++i) {
    const IpPrefix p = prefix_of(i);
    if (!e.contains_prefix(p)) continue;
    IpAddress a;
    a.bytes[0] = p.address[0];
    a.bytes[1] = p.address[1];
    a.bytes[2] = p.address[2];
    // The /24s are the longest prefixes, and no /24 covers 10.x.0.0, so
    // the lookup of a prefix's own address answers with that prefix.
    const auto m = e.lookup(a);
    t.emplace(netrove::prefix_field(p), m ? netrove::to_json(*m) : "<no answer>");
  }
  return t;
}

// Runs `body` in a child process and returns its exit status (0: done).
template <class F>
int in_child(F body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    int code = 1;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

class Follow : public ::testing::Test {
 protected:
  RedisTestServer server{RedisTestServer::Options{true, "", 0}};
  std::string url() const { return server.tcp_url(); }
};

}  // namespace

// ---------------------------------------------------------------------------
// The event texts

TEST(UpdateEvents, EncodeAndDecode) {
  const UpdateEvent ins{"insert", "10.0.0.0/8", R"({"value":"a","attributes":{}})"};
  const UpdateEvent del{"remove", "2001:db8::/32", std::nullopt};
  const UpdateEvent clr{"clear", "", std::nullopt};
  EXPECT_EQ(netrove::encode_event(ins), "insert\n10.0.0.0/8\n{\"value\":\"a\",\"attributes\":{}}");
  EXPECT_EQ(netrove::encode_event(del), "remove\n2001:db8::/32");
  EXPECT_EQ(netrove::encode_event(clr), "clear");
  for (const UpdateEvent& e : {ins, del, clr}) EXPECT_EQ(netrove::decode_event(netrove::encode_event(e)), e);
  for (const char* bad : {"", "insert", "insert\n10.0.0.0/8", "remove\na\nb", "clear\n", "upsert\na\nb", "\xff"})
    EXPECT_EQ(netrove::decode_event(bad), std::nullopt) << bad;
}

TEST_F(Follow, WritesPublishTheirEventsInTheHashOrder) {
  redisContext* sub = redisConnect("127.0.0.1", server.port());
  ASSERT_TRUE(sub && !sub->err);
  netrove::testing::Reply ok(static_cast<redisReply*>(redisCommand(sub, "SUBSCRIBE netrove:updates")));
  ASSERT_TRUE(ok);
  auto writer = open(url(), false);
  const Metadata a = record_of(prefix_of(1), 1);
  ASSERT_TRUE(writer->insert(prefix_of(1), a).ok());
  (void)writer->remove(prefix_of(1));
  writer->clear();
  EXPECT_EQ(server.integer({"HLEN", "netrove:entries"}), 0);
  ASSERT_TRUE(writer->insert(prefix_of(2), a).ok());
  writer->clear();  // without follow mode the hash stays
  EXPECT_EQ(server.integer({"HLEN", "netrove:entries"}), 1);
  std::vector<std::string> got;
  for (int i = 0; i < 5; ++i) {
    void* raw = nullptr;
    ASSERT_EQ(redisGetReply(sub, &raw), REDIS_OK);
    netrove::testing::Reply r(static_cast<redisReply*>(raw));
    ASSERT_EQ(r->elements, 3u);
    got.emplace_back(r->element[2]->str, r->element[2]->len);
  }
  redisFree(sub);
  EXPECT_EQ(got, (std::vector<std::string>{"insert\n10.0.1.0/24\n" + netrove::to_json(a), "remove\n10.0.1.0/24",
                                           "clear", "insert\n10.0.2.0/24\n" + netrove::to_json(a), "clear"}));
}

// ---------------------------------------------------------------------------
// Writers in other processes

TEST_F(Follow, FollowerMatchesAWriterInAnotherProcess) {
  constexpr int kUniverse = 10000;
  auto follower = open(url(), true);
  ASSERT_TRUE(follower->following());
  // The writer's script: every prefix in, a random third out, a random
  // third rewritten; the oracle replays it.
  auto script = [&](auto&& insert, auto&& remove) {
    std::mt19937 rng(7);
    for (int i = 0; i < kUniverse; ++i) insert(prefix_of(i), record_of(prefix_of(i), 0));
    for (int i = 0; i < kUniverse; ++i) {
      const unsigned r = rng() % 3;
      if (r == 0) remove(prefix_of(i));
      else if (r == 1) insert(prefix_of(i), record_of(prefix_of(i), 1));
    }
  };
  const int status = in_child([&] {
    auto writer = open(url(), false);
    script([&](const IpPrefix& p, Metadata m) { (void)writer->insert(p, std::move(m)); },
           [&](const IpPrefix& p) { (void)writer->remove(p); });
    return 0;
  });
  ASSERT_EQ(status, 0);
  netrove::LocalEngine oracle = netrove::build_local(0, 0, true, std::nullopt);
  std::uint64_t writes = 0;
  script([&](const IpPrefix& p, Metadata m) { (void)oracle.insert(p, std::move(m)), ++writes; },
         [&](const IpPrefix& p) { (void)oracle.remove(p), ++writes; });
  const Table expected = engine_table(oracle, kUniverse);
  ASSERT_EQ(expected, hash_table(server));
  EXPECT_TRUE(wait_until([&] { return follower->len() == oracle.len(); }, kConverge));
  EXPECT_EQ(engine_table(*follower, kUniverse), expected);
  const auto stats = follower->follow_stats();
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->events_applied, writes);  // every write's event
  EXPECT_EQ(stats->events_skipped, 0u);
  EXPECT_EQ(stats->resyncs, 0u);
  EXPECT_TRUE(stats->in_step);
}

TEST_F(Follow, RacingWritersLeaveEveryFollowerEqualToTheHash) {
  constexpr int kPrefixes = 100;
  auto first = open(url(), true);
  auto second = open(url(), true);
  std::vector<pid_t> writers;
  for (int w = 0; w < 2; ++w) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      auto writer = open(url(), false);
      std::mt19937 rng(100 + w);
      for (int op = 0; op < 3000; ++op) {
        const IpPrefix p = prefix_of(static_cast<int>(rng() % kPrefixes));
        if (rng() % 4 == 0) (void)writer->remove(p);
        else (void)writer->insert(p, record_of(p, w * 10000 + op));
      }
      ::_exit(0);
    }
    writers.push_back(pid);
  }
  for (pid_t pid : writers) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const Table truth = hash_table(server);
  for (HybridEngine* f : {first.get(), second.get()}) {
    EXPECT_TRUE(wait_until([&] { return engine_table(*f, kPrefixes) == truth; }, kConverge));
    EXPECT_EQ(engine_table(*f, kPrefixes), truth);
  }
}

// ---------------------------------------------------------------------------
// Faults in the middle of a stream of writes

enum class Fault { restart, kill_subscription };

class FollowFault : public Follow, public ::testing::WithParamInterface<Fault> {};

TEST_P(FollowFault, FollowerResyncsAndEndsEqualToTheHash) {
  constexpr int kUniverse = 500;
  auto follower = open(url(), true);
  std::atomic<bool> done{false};
  std::atomic<long> bad_answers{0}, lookups{0};
  std::thread reader([&] {
    std::mt19937 rng(3);
    while (!done.load()) {
      const IpPrefix p = prefix_of(static_cast<int>(rng() % kUniverse));
      IpAddress a;
      a.bytes = {p.address[0], p.address[1], static_cast<std::uint8_t>(rng() % 256), 1};
      if (!answer_is_plausible(a, follower->lookup(a))) ++bad_answers;
      ++lookups;
    }
  });
  std::atomic<int> written{0};
  std::thread writer_thread([&] {
    auto writer = open(url(), false);
    std::mt19937 rng(4);
    for (int op = 0; op < 4000; ++op) {
      const IpPrefix p = prefix_of(static_cast<int>(rng() % kUniverse));
      if (rng() % 5 == 0) (void)writer->remove(p);
      else (void)writer->insert(p, record_of(p, op));
      written = op;
    }
  });
  ASSERT_TRUE(wait_until([&] { return written.load() >= 1000; }, 60s));
  if (GetParam() == Fault::restart) {
    server.restart();  // the hash starts empty again: persistence is off
  } else {
    EXPECT_GE(server.integer({"CLIENT", "KILL", "TYPE", "pubsub"}), 1);
  }
  writer_thread.join();
  EXPECT_TRUE(wait_until([&] { return follower->follow_stats()->resyncs >= 1; }, 10s));
  const Table truth = hash_table(server);
  EXPECT_TRUE(wait_until([&] { return engine_table(*follower, kUniverse) == truth; }, 10s));
  done = true;
  reader.join();
  EXPECT_EQ(engine_table(*follower, kUniverse), truth);
  EXPECT_EQ(bad_answers.load(), 0);
  EXPECT_GT(lookups.load(), 0);
  EXPECT_TRUE(follower->follow_stats()->in_step);
}

INSTANTIATE_TEST_SUITE_P(Faults, FollowFault, ::testing::Values(Fault::restart, Fault::kill_subscription),
                         [](const auto& info) { return info.param == Fault::restart ? "Restart" : "ClientKill"; });

// ---------------------------------------------------------------------------
// Bad fields and events, clear, bulk writes, fork

TEST_F(Follow, BadFieldsAndEventsAreSkippedAndCounted) {
  server.command({"HSET", "netrove:entries", "not a prefix", R"({"value":"x","attributes":{}})"});
  server.command({"HSET", "netrove:entries", "10.9.0.0/16", "{bad json"});
  server.command({"HSET", "netrove:entries", "10.8.0.0/16", R"({"value":"good","attributes":{}})"});
  auto follower = open(url(), true);
  EXPECT_EQ(follower->len(), 1u);
  for (const char* bad : {"bogus", "insert\nnot-a-prefix\n{}", "insert\n10.7.0.0/16\n{bad", "remove\n300.0.0.0/8"})
    server.command({"PUBLISH", "netrove:updates", bad});
  server.command({"PUBLISH", "netrove:updates", "insert\n10.6.0.0/16\n{\"value\":\"marker\",\"attributes\":{}}"});
  ASSERT_TRUE(wait_until([&] { return follower->len() == 2; }, 5s));
  const auto stats = follower->follow_stats();
  EXPECT_EQ(stats->fields_skipped, 2u);
  EXPECT_EQ(stats->events_skipped, 4u);
  EXPECT_EQ(stats->events_applied, 1u);
  EXPECT_FALSE(follower->contains_prefix(*netrove::parse_prefix("10.7.0.0/16")));
}

TEST_F(Follow, OwnWritesClearAndBulkWrites) {
  auto follower = open(url(), true);
  auto other = open(url(), true);
  // Own write: seen once its event is back.
  ASSERT_TRUE(follower->insert(prefix_of(5), record_of(prefix_of(5), 1)).ok());
  EXPECT_TRUE(wait_until([&] { return follower->contains_prefix(prefix_of(5)); }, 5s));
  // Bulk: one script call per kBatchChunk writes.
  server.command({"CONFIG", "RESETSTAT"});
  std::vector<std::pair<IpPrefix, Metadata>> batch;
  for (int i = 0; i < 2000; ++i) batch.emplace_back(prefix_of(i), record_of(prefix_of(i), 2));
  ASSERT_TRUE(follower->insert_many(std::move(batch)).ok());
  const std::string stats = server.text({"INFO", "commandstats"});
  EXPECT_NE(stats.find("cmdstat_eval:calls=4,"), std::string::npos) << stats;  // ceil(2000 / 512)
  EXPECT_EQ(server.integer({"HLEN", "netrove:entries"}), 2000);
  EXPECT_TRUE(wait_until([&] { return other->len() == 2000 && follower->len() == 2000; }, 5s));
  std::vector<IpPrefix> gone;
  for (int i = 0; i < 1000; ++i) gone.push_back(prefix_of(i));
  EXPECT_EQ(follower->remove_many(gone), 1000u);
  EXPECT_TRUE(wait_until([&] { return other->len() == 1000; }, 5s));
  // clear in follow mode empties the hash and every follower.
  other->clear();
  EXPECT_EQ(server.integer({"EXISTS", "netrove:entries"}), 0);
  // A clear reloads; the counter moves just after the swap.
  EXPECT_TRUE(wait_until([&] { return follower->follow_stats()->resyncs >= 1 && other->follow_stats()->resyncs >= 1; },
                         5s));
  EXPECT_EQ(follower->len(), 0u);
  EXPECT_EQ(other->len(), 0u);
}

TEST_F(Follow, AFollowerRefusesAForkedChild) {
  auto follower = open(url(), true);
  auto plain = open(url(), false);
  ASSERT_TRUE(follower->insert(prefix_of(1), record_of(prefix_of(1), 1)).ok());
  ASSERT_TRUE(wait_until([&] { return follower->len() == 1; }, 5s));
  const int status = in_child([&] {
    try {
      (void)follower->lookup(IpAddress{});
      return 2;
    } catch (const netrove::UsageError& e) {
      if (std::string(e.what()).find("open it after fork()") == std::string::npos) return 3;
    }
    // An engine without follow mode works in the child, on fresh connections.
    if (!plain->insert(prefix_of(2), record_of(prefix_of(2), 2)).ok()) return 4;
    follower.reset();  // no thread to join here
    return 0;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(server.integer({"HEXISTS", "netrove:entries", "10.0.2.0/24"}), 1);
  EXPECT_TRUE(wait_until([&] { return follower->len() == 2; }, 5s));  // the parent's follower goes on
}
