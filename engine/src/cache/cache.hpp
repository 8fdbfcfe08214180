// cache/cache.hpp - a bounded cache of lookup answers in front of an engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "netrove/engine.hpp"
#include "sync/sync.hpp"

namespace netrove {

/// Hash of an IpAddress mixed with a per-map seed, so that two caches (and
/// two processes) place the same addresses differently.
struct SeededAddressHash {
  std::uint64_t seed = 0;
  std::size_t operator()(const IpAddress& a) const noexcept;
};

/// An Engine that remembers the answers of recent lookups per exact address
/// (found records and "no match" alike) and forwards everything else to the
/// wrapped engine.  Writes drop the answers they may have changed.  A hit
/// takes no lock and writes nothing shared: one hash, one probe sequence of
/// an open-addressed table, the answer lent or copied.  See
/// engine/src/cache/cache.cpp for the table, and the generation rule that keeps a
/// racing lookup from caching an answer older than a completed write.
///
/// Beside the table, an ordered index of the cached addresses (writers
/// only, under the table lock) makes the answers inside one prefix one
/// range, so a write visits only the addresses it may have changed:
///
///   index (a search tree, ordered by family, then the 16 address bytes)
///
///     (v4, 9.9.9.9) (v4, 10.0.0.1) (v4, 10.7.3.2) (v4, 11.0.0.1) (v6, ::1) ...
///                   |<--- insert 10.0.0.0/8 --->|
///                   lo = 10.0.0.0 + zeros    hi = 10.255.255.255 + ones
///
///   every entry of the table has one node in the index and knows it, so
///   eviction unlinks it in constant time; clear empties both in one pass.
class CachedEngine final : public Engine,
                           public RecordLender,
                           public BatchEngine,
                           public EntryReader,
                           public EntryLoader,
                           public EntryEraser,
                           public RecordWriter,
                           public EntryLister {
 public:
  /// `ttl` is kept and never consulted; `capacity` bounds the cached answers
  /// (a capacity of 0 still caches one answer at a time; above 2^20 the
  /// table holds at most 2^20); `inner` must not be null.  The table starts
  /// empty with a fresh random hash seed.
  CachedEngine(std::optional<std::uint64_t> ttl, std::uint64_t capacity, std::shared_ptr<Engine> inner);
  ~CachedEngine() override;

  /// Inner insert; on success drops the cached answers inside `prefix`.
  /// Returns the inner result unchanged.
  InsertResult insert(const IpPrefix& prefix, Metadata record) override;
  /// The cached answer for `address`, or the inner answer, which is cached.
  std::optional<Metadata> lookup(const IpAddress& address) const override;
  /// The same lookup lending the answer (see RecordLender): a cached answer
  /// is lent inside a read section; a miss asks the inner engine with no
  /// cache lock held, stores the answer as lookup does and lends it.
  bool lookup_with(const IpAddress& address, RecordVisitor visit) const override;
  /// lookup for each address in order (each cached answer copied into its
  /// hold, misses filled as lookup fills them); see BatchEngine.
  void lookup_many(const IpAddress* addresses, std::size_t n, HeldRecord* out) const override;
  /// The same without copying any answer.
  void contains_many(const IpAddress* addresses, std::size_t n, bool* found) const override;
  /// Inner insert_many; then, under the table lock once, drops the cached
  /// answers inside any of the prefixes stored (those before an error).
  InsertResult insert_many(const IpPrefix* prefixes, Metadata* records, std::size_t n, std::size_t* done) override;
  /// The inner engine's writes of stored records (netrove::insert_record,
  /// insert_records, load_records); then, as insert and insert_many, the
  /// cached answers inside the prefixes stored are dropped.
  InsertResult insert_record(const IpPrefix& prefix, RecordRef record) override;
  InsertResult insert_records(const IpPrefix* prefixes, RecordRef* records, std::size_t n,
                              std::size_t* done) override;
  InsertResult load_records(const IpPrefix* prefixes, RecordRef* records, std::size_t n, std::size_t* done) override;
  /// Inner remove; then drops the cached answers inside `prefix` whatever it
  /// returned.  Returns the inner result.
  std::optional<Metadata> remove(const IpPrefix& prefix) override;
  /// The same through the inner engine's erase (see EntryEraser).
  bool erase(const IpPrefix& prefix) override;
  /// Inner contains_prefix; the cache is neither read nor written.
  bool contains_prefix(const IpPrefix& prefix) const override;
  /// The inner engine's enumerations; the cache is neither read nor
  /// written.  Panic "the inner engine enumerates no entries" when it does
  /// not offer EntryReader.
  std::vector<netrove::Entry> covering(const IpAddress& address, std::size_t limit) const override;
  std::vector<netrove::Entry> covered(const IpPrefix& prefix) const override;
  HeldRecord exact(const IpPrefix& prefix) const override;
  /// The inner engine's EntryLister.  Panic "the inner engine lists no
  /// entries" when it does not offer one.
  void list_entries(EntrySink& sink) const override;
  /// Inner load, then drops the cached answers inside `prefix`, as insert.
  /// Panic "the inner engine cannot load entries" when it does not offer
  /// EntryLoader.
  InsertResult load(const IpPrefix& prefix, Metadata record) override;
  /// Inner clear, then every cached answer is dropped.
  void clear() override;
  /// Inner len.
  std::uint64_t len() const override;
  /// Inner stats: lookups answered from the cache are not counted.
  EngineStats stats() const override;

  const std::shared_ptr<Engine>& inner() const noexcept { return inner_; }
  std::optional<std::uint64_t> ttl() const noexcept { return ttl_; }
  std::uint64_t capacity() const noexcept { return capacity_; }
  /// Number of cached answers now (takes the table lock).
  std::size_t cached() const;
  /// Whether an answer for `address` is cached now (takes the table lock).
  bool is_cached(const IpAddress& address) const;

 private:
  struct Entry;
  /// Orders entries (and bare addresses, for range bounds) by family, then
  /// address bytes.
  struct ByAddress {
    using is_transparent = void;
    bool operator()(const Entry* a, const Entry* b) const noexcept;
    bool operator()(const Entry* a, const IpAddress& b) const noexcept;
    bool operator()(const IpAddress& a, const Entry* b) const noexcept;
  };
  using Index = std::set<Entry*, ByAddress>;
  /// One slot's content, immutable once published (`pos` is the writers'
  /// alone, under mu_).
  struct Entry {
    IpAddress address;
    std::size_t hash;
    RecordRef answer;  // a share of the inner engine's record; empty: no match
    Index::iterator pos{};
  };
  static constexpr std::size_t kNone = ~std::size_t{0};
  static constexpr std::size_t kRetireBatch = 64;

  const EntryReader& inner_reader() const;

  template <class Use>
  bool answer(const IpAddress& address, Use&& use) const;
  const Entry* probe(const IpAddress& address, std::size_t hash) const noexcept;
  // The rest runs with mu_ held.
  std::size_t slot_of(const IpAddress& address, std::size_t hash) const noexcept;
  void retire_entry(Entry* e) const;
  void place(Entry* e) const;
  void index_node(Entry* e, Index::node_type node) const;
  void erase_at(std::size_t i) const;
  RecordRef ask_inner(const IpAddress& address) const;
  void evict_one() const;
  void invalidate(const IpPrefix& prefix);
  void invalidate_many(const IpPrefix* prefixes, std::size_t n);
  void drop_range(const IpPrefix& prefix) const;

  std::optional<std::uint64_t> ttl_;
  std::uint64_t capacity_;
  std::shared_ptr<Engine> inner_;
  const RecordLender* inner_lender_;  // inner_ as a lender, or null
  EntryEraser* inner_eraser_;         // inner_ as an eraser, or null
  RecordWriter* inner_writer_;        // inner_ as a writer of stored records, or null
  SeededAddressHash hash_;
  std::size_t limit_;  // entries kept at most
  std::size_t mask_;   // slots - 1; slots >= 2 * limit_, a power of two
  std::unique_ptr<std::atomic<Entry*>[]> slots_;
  // Serialises every change of slots_ (misses storing, writes dropping);
  // lookups that hit never take it.
  mutable PoisonMutex mu_;
  mutable std::size_t count_ = 0;  // entries in slots_, under mu_
  mutable std::size_t hand_ = 0;   // next slot eviction looks at, under mu_
  mutable Index index_;            // every entry of slots_, under mu_
  mutable Index::node_type spare_; // the last evicted entry's node, under mu_
  mutable std::vector<Entry*>* retiring_ = nullptr;  // dropped entries, under mu_
  // Completed invalidations; bumped under mu_, read by misses before they
  // ask the inner engine.
  mutable std::atomic<std::uint64_t> generation_{0};
};

}  // namespace netrove
