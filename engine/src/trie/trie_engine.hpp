// trie/trie_engine.hpp - one binary trie behind the engine operations.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "netrove/engine.hpp"
#include "netrove/metadata.hpp"
#include "trie/node.hpp"
#include "netrove/record.hpp"
#include "sync/counter_slot.hpp"
#include "sync/sync.hpp"
#include "netrove/types.hpp"

namespace netrove {

/// Which trie algorithms run on a TrieEngine; fixed by the LocalEngine tag.
enum class TrieForm : std::uint8_t { uncompressed, compressed };

/// Who counts the lookups of a batch read: the engine that runs it (as a
/// single lookup counts on its engine), or the caller, which then counts
/// each with count_lookups on the engine a single lookup would have used
/// (the shards of a sharded trie share one read index, and one walk of it
/// answers a batch whose addresses route to different shards).
enum class Tally : std::uint8_t { here, caller };

/// The roots of one trie (one per family), its writer lock and its prefix
/// count, shared by every shard of a sharded trie.
class TrieRoots;

/// Counts and statistics over one trie.  The shards of a sharded trie are
/// TrieEngines sharing one TrieRoots, each with its own statistics.
///
/// Every operation may be called from any thread at any time.  Writes
/// (insert, remove, clear) are serialised by the trie's writer lock and
/// change the trie, then its read index; lookup and lookup_with are answered
/// by the read index (a stride-8 multibit trie per family, shared by all
/// shards), contains_prefix by the trie.  Readers take no lock (but see
/// contains_prefix) and write
/// nothing shared except one hit or miss counter of the calling thread's own; a
/// lookup beside a write sees, for every address, the state before or after
/// it.  Nothing here returns an
/// EngineError.  Panics: "lock poisoned by an earlier failure" when an
/// earlier failure left the writer lock poisoned;
/// "set_edge called on an uncompressed node" when the compressed form runs
/// on an uncompressed node kind.
class TrieEngine {
 public:
  /// An engine over a new, empty trie of nodes of `kind`.
  explicit TrieEngine(NodeKind kind);
  /// An engine over the trie `roots` (shared with other engines).  Panics
  /// when `kind` is not the trie's node kind.
  TrieEngine(NodeKind kind, std::shared_ptr<TrieRoots> roots);
  ~TrieEngine();
  TrieEngine(const TrieEngine&) = delete;
  TrieEngine& operator=(const TrieEngine&) = delete;

  /// Stores `prefix` (host bits ignored for identity) with `record`,
  /// replacing the record of an equal prefix.  Always succeeds.
  template <TrieForm F> InsertResult insert(const IpPrefix& prefix, Metadata record);
  /// The same insert of a stored record the caller already holds (one share
  /// handed over): the shards of a sharded engine store one record.
  template <TrieForm F> InsertResult insert_shared(const IpPrefix& prefix, RecordRef record);
  /// insert_shared without counting it (EntryLoader::load).
  template <TrieForm F> InsertResult load_shared(const IpPrefix& prefix, RecordRef record);
  /// The record of the longest stored prefix of the address's family that
  /// contains `address`, copied; counts a hit or a miss.
  template <TrieForm F> std::optional<Metadata> lookup(const IpAddress& address) const;
  /// The same lookup lending the stored record: counts a hit or a miss and,
  /// on a hit with a non-empty `visit`, calls `visit` once with the record
  /// inside the read section (no copy).  Returns whether a record was found.
  /// `visit` must not write to this trie nor wait for a grace period.
  template <TrieForm F> bool lookup_with(const IpAddress& address, RecordVisitor visit) const;
  /// lookup for addresses[0..n) in order, answered by the read index with
  /// interleaved walks (ReadIndex::lookup_many), one read section and one
  /// counter update per chunk of kReadChunk: out[i] holds a share of the
  /// stored record (a copy when the record is being retired meanwhile) or
  /// stays empty.  Counts n lookups (with Tally::caller none: the caller
  /// counts them).  Errors: std::bad_alloc from a copy; the chunks before
  /// it are answered and counted.
  template <TrieForm F>
  void lookup_many(const IpAddress* addresses, std::size_t n, HeldRecord* out, Tally tally = Tally::here) const;
  /// The same lookups lending the records: found[i] = whether one was
  /// found, and visit(first + i, record) for each found one, in increasing
  /// i, inside the chunk's read section (see BatchLender; `first` numbers
  /// the elements as a caller that passes part of its batch numbers them).
  /// Counts as lookup_many, shares nothing, allocates nothing.
  template <TrieForm F>
  void lookup_many_with(const IpAddress* addresses, std::size_t n, bool* found, BatchVisitor visit,
                        Tally tally = Tally::here, std::size_t first = 0) const;
  /// found[i] = whether lookup(addresses[i]) finds a record; counts as
  /// lookup_many, copies and shares nothing.
  template <TrieForm F>
  void contains_many(const IpAddress* addresses, std::size_t n, bool* found, Tally tally = Tally::here) const;
  /// Adds `hits` and `misses` lookups to this engine's counters (the calling
  /// thread's stripe): what a batch run with Tally::caller leaves to its
  /// caller.  Takes no lock.
  void count_lookups(std::uint64_t hits, std::uint64_t misses) const noexcept;
  /// bulk_load of the records interned (before any lock is taken).
  template <TrieForm F> InsertResult insert_many(const IpPrefix* prefixes, Metadata* records, std::size_t n);
  /// A bulk load (netrove/engine.hpp) of (prefixes[i], records[i]), each
  /// record (not empty) moved out:
  ///   1. the items sorted by family, key and length, and of equal prefixes
  ///      only the last kept (the others' records released);
  ///   2. per chunk of kBulkChunk (set_bulk_chunk) sorted items, under the
  ///      writer lock and a read section: the trie merge (trie_bulk.hpp,
  ///      each touched node once), the prefix count, the read index
  ///      (ReadIndex::insert_batch, one store per family), so a lookup
  ///      sees a chunk's part of each family all or not at all, and a walk
  ///      of the trie (contains_prefix, the enumerations) the whole chunk
  ///      or none of it (the merge runs inside the trie's shape word);
  ///   3. outside them: rcu::collect, and when `count`, `inserts` grows by
  ///      the chunk's items (the dropped duplicates with the last chunk).
  /// Other writers run between chunks.  Never fails.
  template <TrieForm F> void bulk_load(const IpPrefix* prefixes, RecordRef* records, std::size_t n, bool count);
  /// Elements per chunk of the batch operations: bounds how long a batch
  /// holds the writer lock, or a read section that grace periods wait for.
  static constexpr std::size_t kReadChunk = 256;
  static constexpr std::size_t kBulkChunk = 4096;
  /// Sorted items per chunk of this engine's bulk loads (kBulkChunk unless
  /// set; at least 1): tests make it small so that chunk boundaries fall
  /// inside every stride of the read index and every level of the trie.
  /// Not while a bulk load runs on this engine.
  void set_bulk_chunk(std::size_t n) noexcept { bulk_chunk_ = n ? n : 1; }
  /// Takes out and returns the record stored for exactly `prefix`.
  template <TrieForm F> std::optional<Metadata> remove(const IpPrefix& prefix);
  /// The same remove handing over the stored record itself (empty when no
  /// entry was stored for exactly `prefix`).
  template <TrieForm F> RecordRef take(const IpPrefix& prefix);
  /// Whether a record is stored for exactly `prefix`; counts nothing.  A
  /// walk of the trie that takes no lock unless edge splits overlapped it
  /// several times in a row; then it waits for the writer lock.
  template <TrieForm F> bool contains_prefix(const IpPrefix& prefix) const;
  /// The enumerations of EntryReader over this trie (the structure of
  /// record, not the read index), each a walk by the same rule as
  /// contains_prefix that shares the records it found before it ends; they
  /// count nothing.  The form is the node kind's (kinds 0-3 uncompressed, 4-7
  /// compressed), the one every engine over the trie runs.
  std::vector<Entry> covering(const IpAddress& address, std::size_t limit) const;
  std::vector<Entry> covered(const IpPrefix& prefix) const;
  HeldRecord exact(const IpPrefix& prefix) const;
  /// EntryLister::list_entries over this trie: each family one walk by the
  /// same rule, lending the stored records.
  void list_entries(EntrySink& sink) const;
  /// Empties the trie (both families); only `size` of the counters changes.
  template <TrieForm F> void clear();
  /// Prefixes stored in the trie (shared by all engines over it).
  std::uint64_t len() const noexcept;
  /// inserts and removals made through this engine, hits and misses of its
  /// lookups (lookups = hits + misses), size = len().  Exact whenever no
  /// operation is in flight.
  EngineStats stats() const;

  NodeKind node_kind() const noexcept { return kind_; }
  const std::shared_ptr<TrieRoots>& roots() const noexcept { return roots_; }

 private:
  /// Hit and miss counters on their own cache line.  Slots 0..kOwnedSlots-1
  /// each belong to one thread at a time (sync/counter_slot.hpp), which adds
  /// with a plain load and store: a lock-prefixed add would be a full fence
  /// on x86 and keep independent lookups from overlapping.  The last slot
  /// is shared by the threads beyond those and adds atomically.
  struct alignas(64) Stripe {
    std::atomic<std::uint64_t> hits{0};
    std::atomic<std::uint64_t> misses{0};
  };
  static constexpr std::size_t kStripes = counters::kSlots;

  void count_lookup(bool hit) const noexcept;
  /// The result of `walk`, a walk of the trie run beside writers by the
  /// read-side rule of the compressed trie (see trie_engine.cpp).
  template <class W> auto walk_stably(W&& walk) const;

  // Write counters: one atomic add per write (a lock round cost a write as
  // much as its index step), read without a lock by stats().
  std::atomic<std::uint64_t> inserts_{0};
  std::atomic<std::uint64_t> removals_{0};
  // Lookups read only what follows; it starts a cache line of its own so
  // that writers updating the counters above do not invalidate it.
  alignas(64) std::unique_ptr<Stripe[]> stripes_;
  std::shared_ptr<TrieRoots> roots_;
  NodeKind kind_;
  std::size_t bulk_chunk_ = kBulkChunk;
};

}  // namespace netrove
