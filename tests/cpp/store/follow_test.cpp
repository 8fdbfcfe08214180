// Follow mode: the event texts, a follower against a writer in another
// process (checked against an oracle that replays the writer's script),
// the skipped-field and skipped-event counters, a resync after the server
// drops the subscription, bulk writes, and a follower in a forked child.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>
#include <thread>

#include "engine/factory_internal.hpp"
#include "store/hybrid_engine.hpp"
#include "netrove/metadata.hpp"
#include "netrove/text.hpp"
#include "store/update_event.hpp"
#include "support/redis_server.hpp"

using namespace std::chrono_literals;
using netrove::HybridEngine;
using netrove::IpAddress;
using netrove::IpPrefix;
using netrove::Metadata;
using netrove::UpdateEvent;
using netrove::testing::RedisServer;

namespace {

std::unique_ptr<HybridEngine> open(bool follow) {
  netrove::EngineConfig c;
  c.enable_redis = true;
  c.redis_url = RedisServer::get().tcp_url();
  c.follow = follow;
  netrove::StoreOptions o;
  o.connect_timeout = o.command_timeout = 500ms;
  std::string error;
  auto e = HybridEngine::start(c, o, error);
  if (!e) throw std::runtime_error("start-up failed: " + error);
  return e;
}

// Prefix i: 10.x.y.0/24 with x = i / 256, y = i % 256, except that y = 0
// gives the /16 above them; no /24 covers another's first address.
IpPrefix prefix_of(int i) {
  IpPrefix p;
  p.address = {10, static_cast<std::uint8_t>(i / 256), static_cast<std::uint8_t>(i % 256), 0};
  p.length = i % 256 == 0 ? 16 : 24;
  return p;
}

Metadata record_of(int i, int version) {
  Metadata m;
  m.value = std::to_string(i) + "#" + std::to_string(version);
  m.attributes.emplace("v", std::to_string(version));
  return m;
}

template <class Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit = 5s) {
  for (const auto deadline = std::chrono::steady_clock::now() + limit; !pred();)
    if (std::chrono::steady_clock::now() > deadline) return false;
    else std::this_thread::sleep_for(2ms);
  return true;
}

// The answers for every prefix of the universe, as field -> JSON.
using Table = std::map<std::string, std::string>;
Table table_of(const netrove::Engine& e, int universe) {
  Table t;
  for (int i = 0; i < universe; ++i)
    if (const auto m = e.lookup(IpAddress{netrove::kIpv4, prefix_of(i).address}); m && e.contains_prefix(prefix_of(i)))
      t.emplace(netrove::prefix_field(prefix_of(i)), netrove::to_json(*m));
  return t;
}

// Runs `body` in a child process; its exit status (0: done, 128: a signal).
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
  void SetUp() override { server.flush(); }
  RedisServer& server = RedisServer::get();
};

}  // namespace

// A message holds one or more events, one line per part; random batches
// decode to what was encoded, and malformed payloads to nothing.
TEST(UpdateEvents, RandomBatchesRoundTripAndMalformedOnesAreRefused) {
  std::mt19937 rng(5);
  for (int iter = 0; iter < 2000; ++iter) {
    std::vector<UpdateEvent> events;
    std::string message;
    for (unsigned n = 1 + rng() % 4; n-- > 0;) {
      const std::string field = netrove::prefix_field(prefix_of(static_cast<int>(rng() % 4096)));
      switch (rng() % 3) {
        case 0: events.push_back({"insert", field, netrove::to_json(record_of(iter, 0))}); break;
        case 1: events.push_back({"remove", field, std::nullopt}); break;
        default: events.push_back({"clear", "", std::nullopt});
      }
      if (!message.empty()) message += '\n';
      message += netrove::encode_event(events.back());
    }
    ASSERT_EQ(netrove::decode_events(message), events) << message;
    if (events.size() == 1) {
      ASSERT_EQ(netrove::decode_event(message), events[0]);
    }
  }
  for (const char* bad : {"", "insert", "insert\n10.0.0.0/8", "remove", "clear\n", "upsert\na\nb", "\xff",
                          "clear\nremove", "remove\na\ninsert\nb"})
    EXPECT_EQ(netrove::decode_events(bad), std::nullopt) << bad;
  EXPECT_EQ(netrove::decode_event("clear\nclear"), std::nullopt);  // two events where one is due
}

TEST_F(Follow, FollowerMatchesAWriterInAnotherProcess) {
  constexpr int kUniverse = 3000;
  auto follower = open(true);
  ASSERT_TRUE(follower->following());
  // The writer's script: every prefix in, then a random third out and a
  // random third rewritten, some of it in bulk.
  auto script = [](netrove::Engine& e, auto&& insert_many) {
    std::mt19937 rng(7);
    for (int i = 0; i < kUniverse; ++i) (void)e.insert(prefix_of(i), record_of(i, 0));
    std::vector<std::pair<IpPrefix, Metadata>> bulk;
    for (int i = 0; i < kUniverse; ++i) {
      const unsigned r = rng() % 4;
      if (r == 0) (void)e.remove(prefix_of(i));
      else if (r == 1) (void)e.insert(prefix_of(i), record_of(i, 1));
      else if (r == 2) bulk.emplace_back(prefix_of(i), record_of(i, 2));
    }
    insert_many(std::move(bulk));
  };
  ASSERT_EQ(in_child([&] {
              auto writer = open(false);
              script(*writer, [&](auto bulk) { (void)writer->insert_many(std::move(bulk)); });
              return 0;
            }),
            0);
  netrove::LocalEngine oracle = netrove::build_local(0, 0, true, std::nullopt);
  script(oracle, [&](auto bulk) { for (auto& [p, m] : bulk) (void)oracle.insert(p, m); });
  const Table want = table_of(oracle, kUniverse);
  ASSERT_TRUE(wait_until([&] { return follower->len() == oracle.len() && table_of(*follower, kUniverse) == want; }));
  const auto stats = follower->follow_stats();
  EXPECT_EQ(stats->events_skipped, 0u);
  EXPECT_EQ(stats->resyncs, 0u);
  EXPECT_TRUE(stats->in_step);
}

TEST_F(Follow, BadFieldsAndEventsAreSkippedAndCounted) {
  server.command({"HSET", "netrove:entries", "not a prefix", R"({"value":"x","attributes":{}})"});
  server.command({"HSET", "netrove:entries", "10.9.0.0/16", "{bad json"});
  server.command({"HSET", "netrove:entries", "10.8.0.0/16", R"({"value":"good","attributes":{}})"});
  auto follower = open(true);
  EXPECT_EQ(follower->len(), 1u);
  for (const char* bad : {"bogus", "insert\nnot-a-prefix\n{}", "insert\n10.7.0.0/16\n{bad", "remove\n300.0.0.0/8"})
    server.command({"PUBLISH", "netrove:updates", bad});
  server.command({"PUBLISH", "netrove:updates", "insert\n10.6.0.0/16\n{\"value\":\"marker\",\"attributes\":{}}"});
  ASSERT_TRUE(wait_until([&] { return follower->len() == 2; }));
  auto stats = follower->follow_stats();
  EXPECT_EQ(stats->fields_skipped, 2u);
  EXPECT_EQ(stats->events_skipped, 4u);
  EXPECT_EQ(stats->events_applied, 1u);
  // A dropped subscription makes the follower reload, which counts the bad
  // fields again and brings in what was written meanwhile.
  server.command({"HSET", "netrove:entries", "10.5.0.0/16", R"({"value":"quiet","attributes":{}})"});
  EXPECT_GE(server.integer({"CLIENT", "KILL", "TYPE", "pubsub"}), 1);
  ASSERT_TRUE(wait_until([&] { return follower->follow_stats()->resyncs >= 1 && follower->len() == 2; }));
  stats = follower->follow_stats();
  EXPECT_EQ(stats->fields_skipped, 4u);
  EXPECT_TRUE(follower->contains_prefix(*netrove::parse_prefix("10.5.0.0/16")));
  EXPECT_FALSE(follower->contains_prefix(*netrove::parse_prefix("10.6.0.0/16")));  // only published
}

TEST_F(Follow, BulkWritesGoOutInChunksAndClearEmptiesEveryFollower) {
  auto follower = open(true), other = open(true);
  server.command({"CONFIG", "RESETSTAT"});
  std::vector<std::pair<IpPrefix, Metadata>> batch;
  for (int i = 0; i < 1100; ++i) batch.emplace_back(prefix_of(i), record_of(i, 2));
  ASSERT_TRUE(follower->insert_many(std::move(batch)).ok());
  const std::string stats = server.text({"INFO", "commandstats"});
  EXPECT_NE(stats.find("cmdstat_eval:calls=3,"), std::string::npos) << stats;  // ceil(1100 / 512)
  EXPECT_TRUE(wait_until([&] { return other->len() == 1100 && follower->len() == 1100; }));
  other->clear();
  EXPECT_EQ(server.integer({"EXISTS", "netrove:entries"}), 0);
  EXPECT_TRUE(wait_until([&] { return follower->len() == 0 && other->len() == 0; }));
}

// A follower's subscription thread is lost in a child: the child is told to
// open its own engine, and an engine without follow mode works there.
TEST_F(Follow, AFollowerRefusesAForkedChild) {
  auto follower = open(true), plain = open(false);
  const int status = in_child([&] {
    try {
      (void)follower->lookup(IpAddress{});
      return 2;
    } catch (const netrove::UsageError& e) {
      if (std::string(e.what()).find("open it after fork()") == std::string::npos) return 3;
    }
    return plain->insert(prefix_of(2), record_of(2, 2)).ok() ? 0 : 4;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(server.integer({"HEXISTS", "netrove:entries", "10.0.2.0/24"}), 1);
  EXPECT_TRUE(wait_until([&] { return follower->len() == 1; }));  // the parent's follower goes on
}
