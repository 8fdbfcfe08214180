// netrove/cache.hpp - a bounded cache of lookup answers in front of an engine.
#pragma once

#include <memory>
#include <optional>

#include "netrove/engine.hpp"

namespace netrove {

class CachedEngine final : public Engine {
 public:
  /// `ttl` is kept and never consulted; `capacity` bounds the cached answers.
  CachedEngine(std::optional<std::uint64_t> ttl, std::uint64_t capacity, std::shared_ptr<Engine> inner);
  ~CachedEngine() override;

  InsertResult insert(const IpPrefix& prefix, Metadata record) override;
  std::optional<Metadata> lookup(const IpAddress& address) const override;
  std::optional<Metadata> remove(const IpPrefix& prefix) override;
  bool contains_prefix(const IpPrefix& prefix) const override;
  void clear() override;
  std::uint64_t len() const override;
  EngineStats stats() const override;

  const std::shared_ptr<Engine>& inner() const noexcept { return inner_; }

 private:
  std::shared_ptr<Engine> inner_;
};

}  // namespace netrove
