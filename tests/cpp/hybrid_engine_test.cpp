// HybridEngine and create_engine's Redis branch, against a redis-server of
// the test's own: start-up load, write-through, failures after start-up and
// at start-up, Unix-socket URLs, concurrency, and the engine without a URL
// checked against one LocalEngine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "engine/factory_internal.hpp"
#include "store/hybrid_engine.hpp"
#include "netrove/metadata.hpp"
#include "sync/panic.hpp"
#include "netrove/text.hpp"
#include "redis_test_server.hpp"

using namespace std::chrono_literals;
using netrove::EngineConfig;
using netrove::HybridEngine;
using netrove::IpAddress;
using netrove::IpPrefix;
using netrove::Metadata;
using netrove::testing::RedisTestServer;

namespace {

IpPrefix P(std::string_view text) {
  auto p = netrove::parse_prefix(text);
  if (!p) throw std::runtime_error("bad prefix in test: " + std::string(text));
  return *p;
}

IpAddress A(std::string_view text) {
  auto a = netrove::parse_address(text);
  if (!a) throw std::runtime_error("bad address in test: " + std::string(text));
  return *a;
}

Metadata M(std::string value, std::initializer_list<std::pair<const std::string, std::string>> attrs = {}) {
  Metadata m;
  m.value = std::move(value);
  for (const auto& kv : attrs) m.attributes.insert(kv);
  return m;
}

EngineConfig hybrid_config(std::optional<std::string> url) {
  EngineConfig c;
  c.enable_redis = true;
  c.redis_url = std::move(url);
  return c;
}

std::unique_ptr<HybridEngine> start_hybrid(std::optional<std::string> url) {
  std::unique_ptr<netrove::Engine> e = netrove::create_engine(hybrid_config(std::move(url)));
  auto* h = dynamic_cast<HybridEngine*>(e.get());
  if (!h) throw std::runtime_error("create_engine did not build a HybridEngine");
  e.release();
  return std::unique_ptr<HybridEngine>(h);
}

// The StartupError text of create_engine(config), or "<no error>"; its
// store_message is the quoted part.
std::string startup_failure(EngineConfig config) {
  try {
    (void)netrove::create_engine(std::move(config));
  } catch (const netrove::StartupError& e) {
    const std::string what = e.what();
    if (what != "Failed to initialize HybridEngine: " + netrove::quote_escaped(e.store_message()))
      return "<inconsistent texts>";
    return what;
  }
  return "<no error>";
}

class HybridTcp : public ::testing::Test {
 protected:
  RedisTestServer server{RedisTestServer::Options{true, "pw", 0}};
  std::string url() const { return server.tcp_url(); }
  void hset(const std::string& field, const std::string& value) {
    server.command({"HSET", "netrove:entries", field, value});
  }
  std::string hget(const std::string& field) { return server.text({"HGET", "netrove:entries", field}); }
  long long hlen() { return server.integer({"HLEN", "netrove:entries"}); }
};

}  // namespace

// ---------------------------------------------------------------------------
// Without a URL: one LocalEngine in effect

TEST(HybridWithoutUrl, HasNoStoreAndKeepsTheChannelName) {
  EngineConfig c = hybrid_config(std::nullopt);
  c.update_channel = "netrove:test-updates";
  std::string error;
  auto h = HybridEngine::start(c, error);
  ASSERT_TRUE(h);
  EXPECT_TRUE(error.empty());
  EXPECT_EQ(h->store(), nullptr);
  EXPECT_EQ(h->update_channel(), "netrove:test-updates");
  EXPECT_EQ(h->write_engine().tag(), netrove::LocalTag::uncompressed);  // write_path_compression false
  EXPECT_EQ(h->read_engine().tag(), netrove::LocalTag::compressed);
}

TEST(HybridWithoutUrl, BehavesLikeOneLocalEngine) {
  auto hybrid = start_hybrid(std::nullopt);
  netrove::LocalEngine reference = netrove::build_local(0, 0, true, std::nullopt);
  std::mt19937 rng(20240611);
  auto random_prefix = [&] {
    IpPrefix p;
    if (rng() % 4 == 0) {
      p.family = netrove::kIpv6;
      p.address = {0x20, 0x01, 0x0d, 0xb8, static_cast<std::uint8_t>(rng() % 4), static_cast<std::uint8_t>(rng() % 4)};
      p.length = static_cast<std::uint8_t>(32 + rng() % 17);
    } else {
      p.family = netrove::kIpv4;
      p.address = {10, static_cast<std::uint8_t>(rng() % 4), static_cast<std::uint8_t>(rng() % 4),
                   static_cast<std::uint8_t>(rng() % 256)};
      p.length = static_cast<std::uint8_t>(8 + rng() % 17);
    }
    return p;
  };
  auto random_address = [&] {
    IpAddress a;
    if (rng() % 4 == 0) {
      a.family = netrove::kIpv6;
      a.bytes = {0x20, 0x01, 0x0d, 0xb8, static_cast<std::uint8_t>(rng() % 4), static_cast<std::uint8_t>(rng() % 4)};
    } else {
      a.bytes = {10, static_cast<std::uint8_t>(rng() % 4), static_cast<std::uint8_t>(rng() % 4),
                 static_cast<std::uint8_t>(rng() % 256)};
    }
    return a;
  };
  for (int step = 0; step < 4000; ++step) {
    const unsigned op = rng() % 100;
    if (op < 45) {
      const IpPrefix p = random_prefix();
      const Metadata m = M("v" + std::to_string(step), {{"step", std::to_string(step)}});
      ASSERT_TRUE(hybrid->insert(p, m).ok());
      ASSERT_TRUE(reference.insert(p, m).ok());
    } else if (op < 65) {
      const IpPrefix p = random_prefix();
      ASSERT_EQ(hybrid->remove(p), reference.remove(p)) << "step " << step;
    } else if (op < 90) {
      const IpAddress a = random_address();
      ASSERT_EQ(hybrid->lookup(a), reference.lookup(a)) << "step " << step;
    } else if (op < 99) {
      const IpPrefix p = random_prefix();
      ASSERT_EQ(hybrid->contains_prefix(p), reference.contains_prefix(p)) << "step " << step;
    } else {
      hybrid->clear();
      reference.clear();
    }
    ASSERT_EQ(hybrid->len(), reference.len()) << "step " << step;
    ASSERT_EQ(hybrid->write_engine().len(), reference.len()) << "step " << step;
  }
  EXPECT_EQ(hybrid->stats(), reference.stats());
}

// ---------------------------------------------------------------------------
// Field texts and the start-up load

TEST(HybridFields, PrefixFieldTexts) {
  EXPECT_EQ(netrove::prefix_field(P("10.0.0.0/8")), "10.0.0.0/8");
  EXPECT_EQ(netrove::prefix_field(P("2001:0db8:0000::/32")), "2001:db8::/32");
  EXPECT_EQ(netrove::prefix_field(P("::ffff:10.0.0.0/104")), "::ffff:10.0.0.0/104");
  EXPECT_EQ(netrove::prefix_field(P("10.1.2.3/8")), "10.1.2.3/8");  // host bits kept
}

TEST_F(HybridTcp, InsertWritesTheFieldTexts) {
  auto h = start_hybrid(url());
  for (const char* p : {"10.0.0.0/8", "2001:0db8:0000::/32", "::ffff:10.0.0.0/104", "10.1.2.3/8"})
    ASSERT_TRUE(h->insert(P(p), M(p)).ok());
  const netrove::testing::Reply keys = server.command({"HKEYS", "netrove:entries"});
  std::set<std::string> got;
  for (std::size_t i = 0; i < keys->elements; ++i) got.insert(std::string(keys->element[i]->str, keys->element[i]->len));
  EXPECT_EQ(got, (std::set<std::string>{"10.0.0.0/8", "2001:db8::/32", "::ffff:10.0.0.0/104", "10.1.2.3/8"}));
}

TEST_F(HybridTcp, StartupLoadAnswersAtOnce) {
  hset("10.0.0.0/8", R"({"value":"ten","attributes":{"site":"a"}})");
  auto h = start_hybrid(url());
  ASSERT_NE(h->store(), nullptr);
  EXPECT_EQ(h->lookup(A("10.1.2.3")), M("ten", {{"site", "a"}}));
  EXPECT_EQ(h->len(), 1u);
  EXPECT_TRUE(h->contains_prefix(P("10.0.0.0/8")));
  EXPECT_EQ(h->write_engine().len(), 1u);
  EXPECT_EQ(h->stats().size, 1u);
  EXPECT_EQ(h->lookup(A("11.0.0.1")), std::nullopt);
}

TEST_F(HybridTcp, StartupWithoutTheHashIsEmpty) {
  auto h = start_hybrid(url());
  EXPECT_EQ(h->len(), 0u);
  EXPECT_EQ(server.integer({"EXISTS", "netrove:entries"}), 0);
}

TEST_F(HybridTcp, BadFieldsAndValuesAreSkipped) {
  const std::string good = R"({"value":"good","attributes":{}})";
  hset("not a prefix", good);
  hset("10.0.0.0/33", good);
  hset("", good);
  hset("192.0.2.0/24", "{bad json");
  hset("198.51.100.0/24", "");
  hset("203.0.113.0/24", "{\"value\":\"\xff\",\"attributes\":{}}");  // not UTF-8
  hset("100.64.0.0/10", good + " trailing");
  hset("172.16.0.0/12", good);
  hset("2001:db8::/32", R"(["six",{"k":"v"}])");  // the positional form
  auto h = start_hybrid(url());
  EXPECT_EQ(h->len(), 2u);
  EXPECT_EQ(h->lookup(A("172.16.1.1")), M("good"));
  EXPECT_EQ(h->lookup(A("2001:db8::1")), M("six", {{"k", "v"}}));
  for (const char* miss : {"192.0.2.1", "198.51.100.1", "203.0.113.1", "100.64.0.1"})
    EXPECT_EQ(h->lookup(A(miss)), std::nullopt) << miss;
  EXPECT_EQ(hlen(), 9);  // the load leaves the hash as it was
}

TEST_F(HybridTcp, AHashOfTheWrongTypeLoadsNothing) {
  server.command({"SET", "netrove:entries", "not a hash"});
  auto h = start_hybrid(url());
  EXPECT_EQ(h->len(), 0u);
  ASSERT_TRUE(h->insert(P("10.0.0.0/8"), M("x")).ok());  // HSET fails, swallowed
  EXPECT_EQ(h->write_engine().len(), 1u);
}

// ---------------------------------------------------------------------------
// Write-through

TEST_F(HybridTcp, WriteThroughLeavesTheReadEngineAtItsStartupState) {
  const Metadata ten = M("ten", {{"site", "a"}});
  hset("10.0.0.0/8", netrove::to_json(ten));
  auto h = start_hybrid(url());

  const Metadata lan = M("lan", {{"owner", "ops"}});
  ASSERT_TRUE(h->insert(P("192.168.0.0/16"), lan).ok());
  EXPECT_EQ(hget("192.168.0.0/16"), netrove::to_json(lan));
  EXPECT_EQ(h->lookup(A("192.168.1.1")), std::nullopt);  // the read engine is the start-up state
  EXPECT_FALSE(h->contains_prefix(P("192.168.0.0/16")));
  EXPECT_EQ(h->len(), 1u);
  EXPECT_EQ(h->write_engine().len(), 2u);

  const Metadata lan2 = M("lan2");
  ASSERT_TRUE(h->insert(P("192.168.0.0/16"), lan2).ok());  // same field, the second text
  EXPECT_EQ(hget("192.168.0.0/16"), netrove::to_json(lan2));

  EXPECT_EQ(h->remove(P("10.0.0.0/8")), ten);  // the write engine's record
  EXPECT_EQ(hget("10.0.0.0/8"), "<nil>");
  EXPECT_EQ(h->lookup(A("10.1.2.3")), ten);  // still answered from start-up
  EXPECT_EQ(h->remove(P("203.0.113.0/24")), std::nullopt);  // not stored: HDEL is harmless
  EXPECT_EQ(hlen(), 1);

  // An engine started later sees what this one wrote.
  auto later = start_hybrid(url());
  EXPECT_EQ(later->lookup(A("192.168.1.1")), lan2);
  EXPECT_EQ(later->lookup(A("10.1.2.3")), std::nullopt);
  EXPECT_EQ(later->len(), 1u);
}

TEST_F(HybridTcp, ClearLeavesTheHashAndTheReadEngine) {
  hset("10.0.0.0/8", R"({"value":"ten","attributes":{}})");
  auto h = start_hybrid(url());
  ASSERT_TRUE(h->insert(P("192.168.0.0/16"), M("lan")).ok());
  h->clear();
  EXPECT_EQ(h->write_engine().len(), 0u);
  EXPECT_EQ(h->len(), 1u);
  EXPECT_EQ(h->lookup(A("10.1.2.3")), M("ten"));
  EXPECT_EQ(hlen(), 2);
}

TEST_F(HybridTcp, ConcurrentInsertsAllReachTheHash) {
  auto h = start_hybrid(url());
  constexpr int kThreads = 8, kEach = 200;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        IpPrefix p;
        p.address = {10, static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(i), 0};
        p.length = 24;
        if (!h->insert(p, M(std::to_string(t * kEach + i), {{"t", std::to_string(t)}})).ok()) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(h->write_engine().len(), static_cast<std::uint64_t>(kThreads * kEach));
  ASSERT_EQ(hlen(), kThreads * kEach);
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kEach; i += 37) {
      const std::string field = "10." + std::to_string(t) + "." + std::to_string(i) + ".0/24";
      EXPECT_EQ(netrove::from_json(hget(field)), M(std::to_string(t * kEach + i), {{"t", std::to_string(t)}})) << field;
    }
  auto later = start_hybrid(url());
  EXPECT_EQ(later->len(), static_cast<std::uint64_t>(kThreads * kEach));
}

// ---------------------------------------------------------------------------
// The server fails after start-up: insert and remove still succeed

TEST_F(HybridTcp, KilledServerAfterStartup) {
  hset("10.0.0.0/8", R"({"value":"ten","attributes":{}})");
  auto h = start_hybrid(url());
  server.kill();
  ASSERT_TRUE(h->insert(P("192.168.0.0/16"), M("lan")).ok());
  EXPECT_EQ(h->remove(P("10.0.0.0/8")), M("ten"));
  EXPECT_EQ(h->remove(P("192.168.0.0/16")), M("lan"));
  EXPECT_EQ(h->write_engine().len(), 0u);
  EXPECT_EQ(h->lookup(A("10.1.2.3")), M("ten"));
}

TEST_F(HybridTcp, StoppedServerAfterStartupCannotBlockWrites) {
  hset("10.0.0.0/8", R"({"value":"ten","attributes":{}})");
  auto h = start_hybrid(url());
  server.pause();
  const auto t0 = std::chrono::steady_clock::now();
  const auto insert_ok = h->insert(P("192.168.0.0/16"), M("lan")).ok();
  const auto removed = h->remove(P("10.0.0.0/8"));
  const auto waited = std::chrono::steady_clock::now() - t0;
  server.resume();
  EXPECT_TRUE(insert_ok);
  EXPECT_EQ(removed, M("ten"));
  // Each of the two calls waits at most a connect and a command time-out.
  EXPECT_LT(waited, 2 * (netrove::kConnectTimeout + netrove::kCommandTimeout) + 2s);
  EXPECT_EQ(h->write_engine().len(), 1u);
  // Once the server answers again the store writes through again.
  ASSERT_TRUE(h->insert(P("203.0.113.0/24"), M("doc")).ok());
  EXPECT_EQ(hget("203.0.113.0/24"), netrove::to_json(M("doc")));
}

// ---------------------------------------------------------------------------
// Start-up failures become the factory's StartupError

TEST_F(HybridTcp, StartupFailureTexts) {
  const std::string base = "127.0.0.1:" + std::to_string(server.port());
  EXPECT_EQ(startup_failure(hybrid_config("rediss://:pw@" + base)),
            "Failed to initialize HybridEngine: \"Redis error: can't connect with TLS, the feature is not enabled\"");
  EXPECT_EQ(startup_failure(hybrid_config("redis://:pw@" + base + "/abc")),
            "Failed to initialize HybridEngine: \"Redis error: Invalid database number\"");
  EXPECT_EQ(startup_failure(hybrid_config("redis://:pw@" + base + "/99")),
            "Failed to initialize HybridEngine: \"Redis error: ERR DB index is out of range\"");
  EXPECT_EQ(startup_failure(hybrid_config("nonsense")),
            "Failed to initialize HybridEngine: \"Redis error: Redis URL did not parse\"");
  EXPECT_EQ(startup_failure(hybrid_config("redis://:wrong@" + base))
                .rfind("Failed to initialize HybridEngine: \"Redis error: WRONGPASS", 0),
            0u);
}

// The one test that waits out the whole default back-off (about 6 s).
TEST(HybridStartup, UnreachableServerFailsAfterSixAttempts) {
  const int port = netrove::testing::free_port();  // nothing listens there
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(startup_failure(hybrid_config("redis://127.0.0.1:" + std::to_string(port))),
            "Failed to initialize HybridEngine: \"Redis error: Connection refused\"");
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 6200ms);  // 200 + 400 + 800 + 1600 + 3200 ms of back-off
}

// ---------------------------------------------------------------------------
// Unix-socket URLs

class HybridUnix : public ::testing::Test {
 protected:
  void SetUp() override { server.command({"ACL", "SETUSER", "netrove", "on", ">token", "~*", "+@all"}); }
  RedisTestServer server{RedisTestServer::Options{false, "", 0}};
};

TEST_F(HybridUnix, RedisPlusUnixWithDbUserAndPass) {
  const std::string url = "redis+unix://" + server.socket_path() + "?db=2&user=netrove&pass=token";
  auto h = start_hybrid(url);
  ASSERT_TRUE(h->insert(P("10.0.0.0/8"), M("ten")).ok());
  EXPECT_EQ(server.integer({"EXISTS", "netrove:entries"}), 0);  // not in db 0
  server.command({"SELECT", "2"});
  EXPECT_EQ(server.text({"HGET", "netrove:entries", "10.0.0.0/8"}), netrove::to_json(M("ten")));
  auto later = start_hybrid(url);
  EXPECT_EQ(later->lookup(A("10.9.9.9")), M("ten"));
  EXPECT_EQ(startup_failure(hybrid_config("redis+unix://" + server.socket_path() + "?user=netrove&pass=nope"))
                .rfind("Failed to initialize HybridEngine: \"Redis error: WRONGPASS", 0),
            0u);
}

TEST_F(HybridUnix, UnixSchemeWithDb) {
  server.command({"SELECT", "1"});
  server.command({"HSET", "netrove:entries", "2001:db8::/32", R"({"value":"six","attributes":{}})"});
  auto h = start_hybrid("unix://" + server.socket_path() + "?db=1");
  EXPECT_EQ(h->lookup(A("2001:db8::42")), M("six"));
  EXPECT_EQ(h->len(), 1u);
  auto db0 = start_hybrid("unix:" + server.socket_path());
  EXPECT_EQ(db0->len(), 0u);
}
