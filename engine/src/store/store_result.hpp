// store/store_result.hpp - what a store operation answers: a value or the
// StoreError that prevented it, and the entries a read of the hash yields.
// A leaf, shared by the store, its wire layer and the URL parser.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace netrove {

/// A failure of the store.  `message` always begins "Redis error: ".
struct StoreError {
  std::string message;

  /// "Redis error: " followed by `detail`.
  static StoreError redis(std::string_view detail) { return {"Redis error: " + std::string(detail)}; }
};

/// A value or the StoreError that prevented it.
template <class T>
class [[nodiscard]] StoreResult {
 public:
  StoreResult(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  StoreResult(StoreError error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const StoreError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, StoreError> v_;
};

/// Success or a StoreError.
using StoreStatus = StoreResult<std::monostate>;

/// Field and value pairs of the hash, in the server's order.
using StoreEntries = std::vector<std::pair<std::string, std::string>>;

/// Receives the pairs of an HGETALL reply as views, valid during the call.
using EntryVisit = std::function<void(std::string_view field, std::string_view value)>;

}  // namespace netrove
