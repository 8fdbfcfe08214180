// netrove/engine.hpp - the one interface every engine implements.
#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

#include "netrove/metadata.hpp"
#include "netrove/record.hpp"
#include "netrove/types.hpp"

namespace netrove {

/// An engine of prefixes with longest-prefix lookup.  Every operation may be
/// called from several threads at once; each implementation owns its own
/// locking.  The seven operations are declared in slot order, ahead of the
/// destructor, so they occupy vtable slots 0 to 6.
///
/// Threads.  The library starts no thread (but the one a HybridEngine in
/// follow mode owns, joined when it is destroyed).  A trie's lookups never free
/// anything; nodes and records that a write unlinks wait until no lookup
/// can still be reading them and are freed by later writes (of any engine,
/// on any thread): never more than 4096 wait once a write has returned,
/// `clear` frees the whole old table before it returns, and an engine's
/// destructor frees everything the engine owned before it returns.  Destroy
/// an engine only when no other thread is inside one of its operations.
///
/// fork().  Any thread may fork at any time, also while other threads are
/// inside operations: fork() waits until the writes under way have left
/// their locks (the library installs pthread_atfork handlers for this), and
/// afterwards both the parent and the child go on using every engine built
/// before, and both go on freeing what they retire.  The child has only the
/// forking thread, as always after fork().
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

/// A non-owning reference to a callable `void(const RecordView&)`: an object
/// pointer and a function pointer, two words, copied by value.  The callable
/// must outlive every call made through the reference.  A default-constructed
/// visitor is empty: it refers to nothing and must not be called.
///
/// The view shows the stored record itself (no copy).  A callable that takes
/// only `const Metadata&` is accepted too, for callers not yet moved to the
/// view: it is handed a copy made at each call, which is what lending avoids.
class RecordVisitor {
 public:
  RecordVisitor() noexcept = default;

  /// Refers to `f` (not copied; a temporary lives to the end of the full
  /// expression, long enough for the call it is passed to).
  /// `f` must not throw: a throw ends the process.
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, RecordVisitor> &&
             std::is_invocable_r_v<void, std::remove_reference_t<F>&, const RecordView&>)
  RecordVisitor(F&& f) noexcept  // a function reference, so implicit
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* o, const RecordView& r) noexcept { (*static_cast<std::remove_reference_t<F>*>(o))(r); }) {}

  /// The copying form for a callable of `const Metadata&` (see above).
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, RecordVisitor> &&
             !std::is_invocable_v<std::remove_reference_t<F>&, const RecordView&> &&
             std::is_invocable_r_v<void, std::remove_reference_t<F>&, const Metadata&>)
  RecordVisitor(F&& f) noexcept
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* o, const RecordView& r) noexcept {
          (*static_cast<std::remove_reference_t<F>*>(o))(r.to_metadata());
        }) {}

  /// Whether the visitor refers to a callable.
  explicit operator bool() const noexcept { return call_ != nullptr; }

  /// Calls the referred callable with `record`.  Precondition: not empty.
  void operator()(const RecordView& record) const noexcept { call_(object_, record); }

 private:
  void* object_ = nullptr;
  void (*call_)(void*, const RecordView&) noexcept = nullptr;
};
static_assert(sizeof(RecordVisitor) == 2 * sizeof(void*), "a visitor is two words");

/// Longest-prefix lookup that lends the stored record instead of copying it.
/// A separate interface beside Engine (whose vtable layout is fixed): callers
/// find it with dynamic_cast<const RecordLender*>(engine) and fall back to
/// Engine::lookup when an engine does not offer it.
class RecordLender {
 public:
  /// Looks up `address` exactly as Engine::lookup does (the same answer, the
  /// same counters: lookups, hits and misses, cache fills and evictions) and
  /// returns whether a record was found.  When one was and `visit` is not
  /// empty, calls `visit` once with a view of the stored record of the
  /// longest match; the view is valid only during that call.  An empty `visit` asks only
  /// for the found / not-found answer and nothing is copied.
  ///
  /// `visit` runs while the engine holds its read section or read lock: it
  /// must not call into any engine (a deadlock or a poisoned lock otherwise)
  /// and must not throw.  Errors and panics are those of Engine::lookup.
  virtual bool lookup_with(const IpAddress& address, RecordVisitor visit) const = 0;

 protected:
  RecordLender() = default;
  RecordLender(const RecordLender&) = default;
  RecordLender& operator=(const RecordLender&) = default;
  ~RecordLender() = default;
};

}  // namespace netrove
