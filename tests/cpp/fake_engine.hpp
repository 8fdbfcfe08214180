// A brute-force Engine for tests of the engines that wrap another one: a
// list of (network prefix, record) under one mutex, longest match by a full
// scan, the usual six counters, and hooks to slow down or fail operations.
#pragma once

#include <algorithm>
#include <atomic>
#include <future>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "netrove/engine.hpp"
#include "sync/panic.hpp"

namespace netrove::testing {

inline IpAddress v4(int a, int b, int c, int d) {
  IpAddress x;
  x.family = kIpv4;
  x.bytes[0] = static_cast<std::uint8_t>(a);
  x.bytes[1] = static_cast<std::uint8_t>(b);
  x.bytes[2] = static_cast<std::uint8_t>(c);
  x.bytes[3] = static_cast<std::uint8_t>(d);
  return x;
}

/// IPv6 address from its eight 16-bit groups.
inline IpAddress v6(std::initializer_list<int> groups) {
  IpAddress x;
  x.family = kIpv6;
  int i = 0;
  for (int g : groups) {
    x.bytes[2 * i] = static_cast<std::uint8_t>(g >> 8);
    x.bytes[2 * i + 1] = static_cast<std::uint8_t>(g);
    ++i;
  }
  return x;
}

inline IpPrefix prefix(const IpAddress& a, int length) {
  return IpPrefix{a.family, a.bytes, static_cast<std::uint8_t>(length)};
}

inline Metadata record(std::string value, std::vector<std::pair<std::string, std::string>> attrs = {}) {
  Metadata m;
  m.value = std::move(value);
  for (auto& [k, v] : attrs) m.attributes.emplace(k, v);
  return m;
}

class FakeEngine final : public Engine {
 public:
  /// Called by lookup after the answer is computed and the lock released.
  std::function<void(const IpAddress&)> after_lookup;
  /// When set, insert returns this error without storing anything.
  std::optional<std::string> fail_insert;
  /// When set, lookup panics with this text.
  std::optional<std::string> panic_lookup;

  InsertResult insert(const IpPrefix& p, Metadata m) override {
    std::lock_guard g(mu_);
    if (fail_insert) return InsertResult::failure(*fail_insert);
    ++stats_.inserts;
    const IpPrefix net = p.network();
    for (auto& [q, r] : entries_) {
      if (q == net) {
        r = std::move(m);
        return InsertResult::success();
      }
    }
    entries_.emplace_back(net, std::move(m));
    return InsertResult::success();
  }

  std::optional<Metadata> lookup(const IpAddress& a) const override {
    std::optional<Metadata> out;
    {
      std::lock_guard g(mu_);
      if (panic_lookup) panic(*panic_lookup);
      int best = -1;
      for (auto& [q, r] : entries_) {
        if (q.contains(a) && q.length > best) {
          best = q.length;
          out = r;
        }
      }
      ++stats_.lookups;
      ++(out ? stats_.hits : stats_.misses);
    }
    if (after_lookup) after_lookup(a);
    return out;
  }

  std::optional<Metadata> remove(const IpPrefix& p) override {
    std::lock_guard g(mu_);
    const IpPrefix net = p.network();
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](auto& e) { return e.first == net; });
    if (it == entries_.end()) return std::nullopt;
    Metadata m = std::move(it->second);
    entries_.erase(it);
    ++stats_.removals;
    return m;
  }

  bool contains_prefix(const IpPrefix& p) const override {
    std::lock_guard g(mu_);
    const IpPrefix net = p.network();
    return std::any_of(entries_.begin(), entries_.end(), [&](auto& e) { return e.first == net; });
  }

  void clear() override {
    std::lock_guard g(mu_);
    entries_.clear();
  }

  std::uint64_t len() const override {
    std::lock_guard g(mu_);
    return entries_.size();
  }

  EngineStats stats() const override {
    std::lock_guard g(mu_);
    EngineStats s = stats_;
    s.size = entries_.size();
    return s;
  }

  std::uint64_t lookups() const { return stats().lookups; }

 private:
  mutable std::mutex mu_;
  std::vector<std::pair<IpPrefix, Metadata>> entries_;
  mutable EngineStats stats_;
};

/// Holds the first lookup of `fake` inside the inner engine, after its
/// answer is computed, until release(): the window in which a miss has its
/// answer in hand and no cache lock held.
class HeldLookup {
 public:
  explicit HeldLookup(FakeEngine& fake) : fake_(fake) {
    fake.after_lookup = [this](const IpAddress&) {
      if (hold_.exchange(false)) {
        entered_.set_value();
        released_.wait();
      }
    };
  }
  ~HeldLookup() { fake_.after_lookup = nullptr; }
  HeldLookup(const HeldLookup&) = delete;
  HeldLookup& operator=(const HeldLookup&) = delete;

  /// Blocks until the held lookup has its answer.
  void wait_entered() { entered_.get_future().wait(); }
  /// Lets the held lookup go on.
  void release() { release_.set_value(); }

 private:
  FakeEngine& fake_;
  std::promise<void> entered_, release_;
  std::shared_future<void> released_ = release_.get_future().share();
  std::atomic<bool> hold_{true};
};

}  // namespace netrove::testing
