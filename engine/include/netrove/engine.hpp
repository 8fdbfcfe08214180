// netrove/engine.hpp - the one interface every engine implements.
#pragma once

#include <cstdint>
#include <optional>

#include "netrove/metadata.hpp"
#include "netrove/types.hpp"

namespace netrove {

/// An engine of prefixes with longest-prefix lookup.  Every operation may be
/// called from several threads at once; each implementation owns its own
/// locking.  The seven operations are declared in slot order, ahead of the
/// destructor, so they occupy vtable slots 0 to 6.
class Engine {
 public:
  /// Slot 0.  Stores `prefix` (host bits ignored for identity) with `record`;
  /// an entry for the same network and length has its record replaced.
  /// Result: success, or the EngineError of a wrapped engine.
  virtual InsertResult insert(const IpPrefix& prefix, Metadata record) = 0;

  /// Slot 1.  The record of the longest stored prefix of the address's family
  /// that contains `address`, as the caller's own copy; nothing when none does.
  virtual std::optional<Metadata> lookup(const IpAddress& address) const = 0;

  /// Slot 2.  Deletes the entry stored for exactly `prefix` and returns its
  /// record; nothing when there is none.  Other prefixes are untouched.
  virtual std::optional<Metadata> remove(const IpPrefix& prefix) = 0;

  /// Slot 3.  Whether an entry is stored for exactly `prefix`.  Counts nothing.
  virtual bool contains_prefix(const IpPrefix& prefix) const = 0;

  /// Slot 4.  Removes every entry; `size` becomes 0, other counters stay.
  virtual void clear() = 0;

  /// Slot 5.  Number of stored prefixes.
  virtual std::uint64_t len() const = 0;

  /// Slot 6.  Snapshot of the six counters.
  virtual EngineStats stats() const = 0;

  virtual ~Engine() = default;
};

}  // namespace netrove
