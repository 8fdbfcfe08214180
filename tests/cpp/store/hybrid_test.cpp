// HybridEngine without follow mode, against the program's own redis-server:
// random writes checked against three oracles (the write engine, the read
// engine at its start-up state, the hash), a reload that must give the hash
// back, writes that outlive a stopped server, and the start-up failures.
#include <gtest/gtest.h>

#include <random>

#include "engine/factory_internal.hpp"
#include "store/hybrid_engine.hpp"
#include "netrove/metadata.hpp"
#include "netrove/text.hpp"
#include "support/redis_server.hpp"

using namespace std::chrono_literals;
using netrove::HybridEngine;
using netrove::IpAddress;
using netrove::IpPrefix;
using netrove::LocalEngine;
using netrove::Metadata;
using netrove::testing::RedisServer;

namespace {

netrove::EngineConfig config(std::optional<std::string> url) {
  netrove::EngineConfig c;
  c.enable_redis = true;
  c.redis_url = std::move(url);
  return c;
}

std::unique_ptr<HybridEngine> start(std::optional<std::string> url) {
  netrove::StoreOptions o;
  o.connect_timeout = o.command_timeout = 300ms;
  std::string error;
  auto h = HybridEngine::start(config(std::move(url)), o, error);
  if (!h) throw std::runtime_error("start-up failed: " + error);
  return h;
}

LocalEngine oracle() { return netrove::build_local(0, 0, true, std::nullopt); }

// Nested prefixes of both families in a small space, so that writes hit,
// replace and cover each other.
IpPrefix random_prefix(std::mt19937& rng) {
  IpPrefix p;
  if (rng() % 3 == 0) {
    p.family = netrove::kIpv6;
    p.address = {0x20, 0x01, 0x0d, 0xb8, static_cast<std::uint8_t>(rng() % 4), static_cast<std::uint8_t>(rng() % 4)};
    p.length = static_cast<std::uint8_t>(28 + rng() % 21);
  } else {
    p.address = {10, static_cast<std::uint8_t>(rng() % 4), static_cast<std::uint8_t>(rng() % 4),
                 static_cast<std::uint8_t>(rng())};
    p.length = static_cast<std::uint8_t>(6 + rng() % 27);
  }
  return p.network();  // a field per network: host bits would make two fields of one entry
}

IpAddress random_address(std::mt19937& rng) {
  IpPrefix p = random_prefix(rng);
  p.address[p.family == netrove::kIpv4 ? 3 : 15] = static_cast<std::uint8_t>(rng());
  return IpAddress{p.family, p.address};
}

Metadata record(int i) {
  Metadata m;
  m.value = "v" + std::to_string(i);
  if (i % 3) m.attributes.emplace("step", std::to_string(i));
  return m;
}

class Hybrid : public ::testing::Test {
 protected:
  void SetUp() override { server.flush(); }
  RedisServer& server = RedisServer::get();
  void hset(const std::string& field, const std::string& value) {
    server.command({"HSET", "netrove:entries", field, value});
  }
};

}  // namespace

// Cases, per step: insert, remove, insert_many, remove_many, clear (which
// leaves the hash alone).  With a URL the read engine keeps its start-up
// state; without one it is the write engine.
TEST_F(Hybrid, RandomWritesMatchTheOraclesAndReloadGivesTheHashBack) {
  const std::string good = R"({"value":"seed","attributes":{"a":"b"}})";
  for (const char* bad : {"not a prefix", "10.0.0.0/33", ""}) hset(bad, good);
  for (const char* bad : {"{bad json", "", "{\"value\":\"\xff\",\"attributes\":{}}"}) hset("10.3.0.0/16", bad);
  hset("10.1.0.0/16", good + " trailing");
  hset("10.2.0.0/16", good);
  hset("2001:db8::/32", R"(["six",{"k":"v"}])");  // the positional form
  for (const bool with_url : {true, false}) {
    SCOPED_TRACE(with_url ? "with a URL" : "without a URL");
    auto h = start(with_url ? std::optional(server.tcp_url()) : std::nullopt);
    LocalEngine writes = oracle(), at_start = oracle(), hash = oracle();
    if (with_url) {
      for (LocalEngine* e : {&writes, &at_start, &hash}) {
        ASSERT_TRUE(e->insert(*netrove::parse_prefix("10.2.0.0/16"), *netrove::from_json(good)).ok());
        ASSERT_TRUE(e->insert(*netrove::parse_prefix("2001:db8::/32"), *netrove::from_json(R"(["six",{"k":"v"}])")).ok());
      }
    } else {
      EXPECT_EQ(h->store(), nullptr);
    }
    LocalEngine& reads = with_url ? at_start : writes;
    std::mt19937 rng(with_url ? 11 : 12);
    for (int step = 0; step < 1500; ++step) {
      const unsigned op = rng() % 100;
      if (op < 40) {
        const IpPrefix p = random_prefix(rng);
        ASSERT_TRUE(h->insert(p, record(step)).ok());
        (void)writes.insert(p, record(step)), (void)hash.insert(p, record(step));
      } else if (op < 60) {
        const IpPrefix p = random_prefix(rng);
        ASSERT_EQ(h->remove(p), writes.remove(p)) << step;
        (void)hash.remove(p);
      } else if (op < 64) {
        std::vector<std::pair<IpPrefix, Metadata>> batch;
        for (int i = 0; i < 20; ++i) batch.emplace_back(random_prefix(rng), record(step * 100 + i));
        for (auto& [p, m] : batch) (void)writes.insert(p, m), (void)hash.insert(p, m);
        ASSERT_TRUE(h->insert_many(std::move(batch)).ok());
      } else if (op < 67) {
        std::vector<IpPrefix> gone;
        std::uint64_t held = 0;
        for (int i = 0; i < 20; ++i) gone.push_back(random_prefix(rng));
        for (const IpPrefix& p : gone) held += writes.remove(p).has_value(), (void)hash.remove(p);
        ASSERT_EQ(h->remove_many(gone), held);
      } else if (op < 68) {
        h->clear();
        writes.clear();
      } else {
        const IpAddress a = random_address(rng);
        ASSERT_EQ(h->lookup(a), reads.lookup(a)) << step;
        ASSERT_EQ(h->write_engine().lookup(a), writes.lookup(a)) << step;
        const IpPrefix p = random_prefix(rng);
        ASSERT_EQ(h->contains_prefix(p), reads.contains_prefix(p)) << step;
      }
      ASSERT_EQ(h->len(), reads.len()) << step;
      ASSERT_EQ(h->write_engine().len(), writes.len()) << step;
    }
    if (!with_url) continue;
    auto reloaded = start(server.tcp_url());
    ASSERT_EQ(reloaded->len(), hash.len());
    for (int i = 0; i < 3000; ++i) {
      const IpAddress a = random_address(rng);
      ASSERT_EQ(reloaded->lookup(a), hash.lookup(a)) << netrove::format_address(a.family, a.bytes);
    }
  }
}

// The store failing after start-up costs the caller nothing but the
// time-outs: writes still land in the write engine and succeed.
TEST_F(Hybrid, WritesSucceedWhileTheServerIsStopped) {
  hset("10.0.0.0/8", R"({"value":"ten","attributes":{}})");
  auto h = start(server.tcp_url());
  server.pause();
  const bool inserted = h->insert(*netrove::parse_prefix("192.168.0.0/16"), record(1)).ok();
  const auto removed = h->remove(*netrove::parse_prefix("10.0.0.0/8"));
  server.resume();
  EXPECT_TRUE(inserted);
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->value, "ten");
  EXPECT_EQ(h->write_engine().len(), 1u);
  ASSERT_TRUE(h->insert(*netrove::parse_prefix("203.0.113.0/24"), record(2)).ok());  // through again
  EXPECT_EQ(server.text({"HGET", "netrove:entries", "203.0.113.0/24"}), netrove::to_json(record(2)));
}

TEST_F(Hybrid, StartupFailuresBecomeStartupErrorTexts) {
  const std::string base = "127.0.0.1:" + std::to_string(server.port());
  const std::pair<std::string, std::string> cases[] = {
      {"rediss://" + base, "Redis error: can't connect with TLS, the feature is not enabled"},
      {"redis://" + base + "/99", "Redis error: ERR DB index is out of range"},
      {"redis://nobody:x@" + base, "Redis error: WRONGPASS"},  // a prefix of the server's text
  };
  for (const auto& [url, want] : cases) {
    try {
      (void)netrove::create_engine(config(url));
      ADD_FAILURE() << url << " started";
    } catch (const netrove::StartupError& e) {
      EXPECT_EQ(e.store_message().rfind(want, 0), 0u) << e.store_message();
      EXPECT_EQ(e.what(), "Failed to initialize HybridEngine: " + netrove::quote_escaped(e.store_message()));
    }
  }
}
