// netrove/engine.hpp - the one interface every engine implements.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

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

/// A record held for a caller outside any read section, so that it can be
/// used after the lookup that found it has returned (a batch hands its
/// answers to a phase that runs under another lock, the interpreter's): one
/// share of the stored record.  Empty means "no match".  Dropping never
/// waits: a record whose last share goes is retired, not freed in place.
using HeldRecord = RecordRef;

/// Batch operations beside Engine (whose vtable layout is fixed): callers
/// find it with dynamic_cast<BatchEngine*>(engine).  Use the free functions
/// lookup_many, contains_many and insert_many below, which fall back to the
/// single operations for engines without this side.
///
/// Every batch operation ends as the single operations called for each
/// element in order would (the same answers, the same counters, the same
/// cache fills and evictions); it only takes its locks and read sections
/// once per chunk of elements instead of once per element.  None needs,
/// takes or waits for any lock of the caller's: a caller may run it with
/// its own locks (an interpreter lock) released.
///
/// Bulk loads.  insert_many (and RecordWriter::insert_records below) may
/// sort the elements by prefix and store them in one ordered pass per
/// chunk of that order: a concurrent reader sees the table as it was
/// before or after each chunk, never part of one, and the elements of a
/// chunk need not be consecutive in the input.  A later element of an equal
/// prefix (host bits ignored) wins over an earlier one, whose record is
/// then never stored; `inserts` counts every element, `size` the prefixes
/// that were new.
class BatchEngine {
 public:
  /// Looks up `addresses[0..n)`: out[i] holds the record of the longest
  /// match of addresses[i] (a share of the stored record, or a copy), or is
  /// empty.  `out` has n empty holds on entry.  Errors and panics are those
  /// of Engine::lookup.
  virtual void lookup_many(const IpAddress* addresses, std::size_t n, HeldRecord* out) const = 0;
  /// found[i] = whether a stored prefix covers addresses[i]; counts as
  /// lookup_many does, copies nothing.
  virtual void contains_many(const IpAddress* addresses, std::size_t n, bool* found) const = 0;
  /// Inserts (prefixes[i], records[i]) as if in order (a bulk load, see
  /// above), moving the records out.  Stops at the first EngineError, which
  /// it returns, with `*done` the number of leading elements stored before
  /// it; on success *done = n.
  virtual InsertResult insert_many(const IpPrefix* prefixes, Metadata* records, std::size_t n,
                                   std::size_t* done) = 0;

 protected:
  BatchEngine() = default;
  BatchEngine(const BatchEngine&) = default;
  BatchEngine& operator=(const BatchEngine&) = default;
  ~BatchEngine() = default;
};

/// A non-owning reference to a callable `void(std::size_t i, const
/// RecordView&)`, two words, like RecordVisitor: the batch form, told which
/// element of the batch the record answers.  Must not throw.
class BatchVisitor {
 public:
  BatchVisitor() noexcept = default;
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, BatchVisitor> &&
             std::is_invocable_r_v<void, std::remove_reference_t<F>&, std::size_t, const RecordView&>)
  BatchVisitor(F&& f) noexcept  // a function reference, so implicit
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* o, std::size_t i, const RecordView& r) noexcept {
          (*static_cast<std::remove_reference_t<F>*>(o))(i, r);
        }) {}

  explicit operator bool() const noexcept { return call_ != nullptr; }
  /// Calls the referred callable.  Precondition: not empty.
  void operator()(std::size_t i, const RecordView& record) const noexcept { call_(object_, i, record); }

 private:
  void* object_ = nullptr;
  void (*call_)(void*, std::size_t, const RecordView&) noexcept = nullptr;
};
static_assert(sizeof(BatchVisitor) == 2 * sizeof(void*), "a visitor is two words");

/// Batch lookups that lend the stored records instead of sharing them: what
/// RecordLender is to Engine::lookup, this is to BatchEngine::lookup_many.
/// A caller that only reads a few words of each record (a pointer the
/// embedding layer hung on it) saves the share taken and dropped per answer,
/// two atomic writes to a line that every thread answering that record
/// writes too.  Found with dynamic_cast<const BatchLender*>(engine); use the
/// free function lookup_many_with below, which falls back for engines
/// without this side.
class BatchLender {
 public:
  /// Looks up addresses[0..n) as BatchEngine::lookup_many does (the same
  /// answers, the same counters and cache effects).  For each i with a
  /// match, calls visit(i, view of the stored record), in increasing i,
  /// inside the engine's read section (the view is valid only during that
  /// call); found[i] says whether there was a match.  `visit` must not call
  /// into any engine, wait for any lock or grace period, or throw.  Errors
  /// and panics are those of Engine::lookup.
  virtual void lookup_many_with(const IpAddress* addresses, std::size_t n, bool* found,
                                BatchVisitor visit) const = 0;

 protected:
  BatchLender() = default;
  BatchLender(const BatchLender&) = default;
  BatchLender& operator=(const BatchLender&) = default;
  ~BatchLender() = default;
};

/// BatchLender::lookup_many_with of `engine`, or for an engine without that
/// side its lookup_many (or single lookups), each record visited while the
/// share held for it is alive.
void lookup_many_with(const Engine& engine, const IpAddress* addresses, std::size_t n, bool* found,
                      BatchVisitor visit);
/// The writing side for records that are already stored (interned,
/// netrove/record.hpp): a caller that builds records from its own objects
/// (a binding, a snapshot) interns each distinct one once and hands over
/// shares, so no Metadata is built and copied per element.  Found with
/// dynamic_cast<RecordWriter*>(engine); the free functions insert_record,
/// insert_records and load_records below fall back to the Metadata
/// operations for engines without it.
class RecordWriter {
 public:
  /// Engine::insert(prefix, record), `record` (not empty) handed over.
  virtual InsertResult insert_record(const IpPrefix& prefix, RecordRef record) = 0;
  /// BatchEngine::insert_many of stored records (a bulk load), each
  /// records[i] (not empty) moved out.  Result and `*done` as there.
  virtual InsertResult insert_records(const IpPrefix* prefixes, RecordRef* records, std::size_t n,
                                      std::size_t* done) = 0;
  /// The same bulk load counting nothing but `size` (EntryLoader::load of
  /// every element): restoring a saved table.
  virtual InsertResult load_records(const IpPrefix* prefixes, RecordRef* records, std::size_t n,
                                    std::size_t* done) = 0;

 protected:
  RecordWriter() = default;
  RecordWriter(const RecordWriter&) = default;
  RecordWriter& operator=(const RecordWriter&) = default;
  ~RecordWriter() = default;
};

/// RecordWriter::insert_record of `engine`, or Engine::insert of a copy.
InsertResult insert_record(Engine& engine, const IpPrefix& prefix, RecordRef record);
/// RecordWriter::insert_records of `engine`, or insert_many of copies.
InsertResult insert_records(Engine& engine, const IpPrefix* prefixes, RecordRef* records, std::size_t n,
                            std::size_t* done);
/// RecordWriter::load_records of `engine`, or EntryLoader::load of a copy
/// per element (std::logic_error for an engine with neither side).
InsertResult load_records(Engine& engine, const IpPrefix* prefixes, RecordRef* records, std::size_t n,
                          std::size_t* done);

/// The removing side of an engine that can drop an entry without copying
/// its record out (a remove whose caller only wants to know whether there
/// was one).
class EntryEraser {
 public:
  /// Engine::remove(prefix).has_value(), with the same effects on the
  /// entries, the counters and any cache, the record released instead of
  /// copied.
  virtual bool erase(const IpPrefix& prefix) = 0;

 protected:
  EntryEraser() = default;
  EntryEraser(const EntryEraser&) = default;
  EntryEraser& operator=(const EntryEraser&) = default;
  ~EntryEraser() = default;
};

/// EntryEraser::erase of `engine` when it has that side, else
/// Engine::remove(prefix).has_value().
bool erase(Engine& engine, const IpPrefix& prefix);

/// The record `lender` finds for `address` as a held share (empty when none
/// covers it), looked up and counted as RecordLender::lookup_with does.
/// Errors: those of the lookup, std::bad_alloc.
HeldRecord hold_lent(const RecordLender& lender, const IpAddress& address);

/// BatchEngine::lookup_many of `engine`, or for an engine without a batch
/// side one lookup per address (a lent record copied, or Engine::lookup).
void lookup_many(const Engine& engine, const IpAddress* addresses, std::size_t n, HeldRecord* out);
/// BatchEngine::contains_many of `engine`, or one lookup per address.
void contains_many(const Engine& engine, const IpAddress* addresses, std::size_t n, bool* found);
/// BatchEngine::insert_many of `engine`, or one Engine::insert per element,
/// stopping at the first error (same result and `*done` as the batch side).
InsertResult insert_many(Engine& engine, const IpPrefix* prefixes, Metadata* records, std::size_t n,
                         std::size_t* done);
/// One stored entry as an enumeration hands it out: the stored prefix in
/// its network form (host bits cleared, since entries are identified without
/// them) and a share of its stored record (never empty), which stays valid
/// after the entry is removed or replaced.
struct Entry {
  IpPrefix prefix;
  HeldRecord record;
};

/// Read-only enumeration of the stored entries.  A separate interface beside
/// Engine and RecordLender: callers find it with
/// dynamic_cast<const EntryReader*>(engine).
///
/// No call moves a counter or reads or fills a lookup cache.  Each call walks
/// the entry table (a trie, not its read index) inside one read section
/// or under one read lock, takes a share of each record it found there and
/// returns after leaving it; nothing of the caller runs inside.  Beside concurrent
/// writes, every entry that is neither inserted nor removed meanwhile is
/// reported, with its old or its new record.  A sharded engine answers from
/// one shard, as it answers len.  Errors and panics are those of
/// Engine::lookup.
class EntryReader {
 public:
  /// The entries of the address's family whose prefix contains `address`,
  /// longest first, at most `limit` of them (the longest ones).
  virtual std::vector<Entry> covering(const IpAddress& address, std::size_t limit) const = 0;

  /// The entries whose prefix lies inside `prefix` (host bits ignored),
  /// `prefix` itself included: ordered by network address, then a shorter
  /// prefix before a longer one.
  virtual std::vector<Entry> covered(const IpPrefix& prefix) const = 0;

  /// A share of the record stored for exactly `prefix` (host bits
  /// ignored), or an empty hold.
  virtual HeldRecord exact(const IpPrefix& prefix) const = 0;

  /// Every entry: the IPv4 ones, then the IPv6 ones, each family in the
  /// order of covered().  The two families are read in two sections.
  std::vector<Entry> all() const {
    std::vector<Entry> out = covered(IpPrefix{kIpv4, {}, 0});
    std::vector<Entry> v6 = covered(IpPrefix{kIpv6, {}, 0});
    out.insert(out.end(), std::make_move_iterator(v6.begin()), std::make_move_iterator(v6.end()));
    return out;
  }

 protected:
  EntryReader() = default;
  EntryReader(const EntryReader&) = default;
  EntryReader& operator=(const EntryReader&) = default;
  ~EntryReader() = default;
};

/// Where an engine lends its entries in order (EntryLister): what saving a
/// table (netrove/snapshot.hpp) writes them into.
class EntrySink {
 public:
  /// Starts the entries of `family`, or starts them over: whatever was put
  /// for that family before is to be dropped.
  virtual void begin(std::uint8_t family) = 0;
  /// One entry: its prefix in network form and a view of its stored record
  /// (valid during the call only).
  virtual void put(const IpPrefix& prefix, RecordView record) = 0;

 protected:
  EntrySink() = default;
  EntrySink(const EntrySink&) = default;
  EntrySink& operator=(const EntrySink&) = default;
  ~EntrySink() = default;
};

/// Lending enumeration of every entry, for saving a table: the stored
/// records are shown, not copied.  Found with dynamic_cast<const
/// EntryLister*>(engine).
class EntryLister {
 public:
  /// For IPv4, then IPv6: sink.begin(family), then sink.put() for every
  /// entry of the family in the order of EntryReader::covered.  Each family
  /// is walked inside one read section (or under one read lock) as
  /// EntryReader walks it; a walk that a concurrent writer overlapped
  /// starts over with begin().  The sink runs inside the section: it must
  /// not call into any engine nor wait for a lock; what it throws passes
  /// through.  Moves no counter, touches no cache.
  virtual void list_entries(EntrySink& sink) const = 0;

 protected:
  EntryLister() = default;
  EntryLister(const EntryLister&) = default;
  EntryLister& operator=(const EntryLister&) = default;
  ~EntryLister() = default;
};

/// Turns entries found shortest first into what EntryReader::covering
/// returns: the `limit` longest, longest first.
template <class T>
void keep_longest_first(std::vector<T>& found, std::size_t limit) {
  if (found.size() > limit) found.erase(found.begin(), found.end() - static_cast<std::ptrdiff_t>(limit));
  std::reverse(found.begin(), found.end());
}

/// Filling an engine without counting: what restores a saved table.  Found
/// with dynamic_cast<EntryLoader*>(engine), like EntryReader.
class EntryLoader {
 public:
  /// Stores `prefix` with `record` exactly as Engine::insert does (host bits
  /// ignored, an equal prefix gets the new record, a cache drops the answers
  /// inside `prefix`) but moves no counter other than `size`.  Result and
  /// errors are those of Engine::insert.
  virtual InsertResult load(const IpPrefix& prefix, Metadata record) = 0;

 protected:
  EntryLoader() = default;
  EntryLoader(const EntryLoader&) = default;
  EntryLoader& operator=(const EntryLoader&) = default;
  ~EntryLoader() = default;
};

}  // namespace netrove
