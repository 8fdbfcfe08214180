// netrove/factory.hpp - turning a configuration into an engine.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "netrove/config.hpp"
#include "netrove/engine.hpp"

namespace netrove {

/// A hybrid engine could not start: its store did not open (bad URL,
/// unreachable server, refused authentication).  Nothing inside broke, so
/// this is no Panic: callers catch it and may try again.
class StartupError : public std::runtime_error {
 public:
  /// what() is "Failed to initialize HybridEngine: " and `store_message`
  /// quoted, its quotes, backslashes and control characters escaped.
  explicit StartupError(std::string store_message);
  /// The store's own text, "Redis error: ...".
  const std::string& store_message() const noexcept { return store_message_; }

 private:
  std::string store_message_;
};

/// An engine used where it cannot work (a following engine in a forked
/// child).  The caller's mistake, not a broken invariant.
class UsageError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

/// Builds the engine of `config`: a HybridEngine when enable_redis, else a
/// CachedEngine around a LocalEngine when enable_cache, else the LocalEngine.
/// Errors: std::invalid_argument for engine_type above 5, node_style above 3,
/// or engine_type 5 without shards; StartupError when the hybrid start-up
/// fails.
std::unique_ptr<Engine> create_engine(EngineConfig config);

}  // namespace netrove
