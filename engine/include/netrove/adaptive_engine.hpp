// netrove/adaptive_engine.hpp - the adaptive radix tree behind the engine
// operations, under one read-write lock.
#pragma once

#include "netrove/engine.hpp"

namespace netrove {

class AdaptiveEngine final : public Engine {
 public:
  AdaptiveEngine();
  ~AdaptiveEngine() override;
  AdaptiveEngine(const AdaptiveEngine&) = delete;
  AdaptiveEngine& operator=(const AdaptiveEngine&) = delete;

  InsertResult insert(const IpPrefix& prefix, Metadata record) override;
  std::optional<Metadata> lookup(const IpAddress& address) const override;
  std::optional<Metadata> remove(const IpPrefix& prefix) override;
  bool contains_prefix(const IpPrefix& prefix) const override;
  void clear() override;
  std::uint64_t len() const override;
  /// size = len(); the other five counters are 0.
  EngineStats stats() const override;
};

}  // namespace netrove
