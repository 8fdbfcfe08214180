// netrove/hybrid_engine.hpp - local engines with write-through to Redis.
#pragma once

#include <memory>
#include <string>

#include "netrove/engine.hpp"
#include "netrove/factory.hpp"

namespace netrove {

class HybridEngine final : public Engine {
 public:
  /// Start-up from `config`; on failure returns null and sets `error` to the
  /// failure text (which begins "Redis error: ").
  static std::unique_ptr<HybridEngine> start(const EngineConfig& config, std::string& error);

  InsertResult insert(const IpPrefix& prefix, Metadata record) override;
  std::optional<Metadata> lookup(const IpAddress& address) const override;
  std::optional<Metadata> remove(const IpPrefix& prefix) override;
  bool contains_prefix(const IpPrefix& prefix) const override;
  void clear() override;
  std::uint64_t len() const override;
  EngineStats stats() const override;
};

}  // namespace netrove
