// cache/cache.hpp - a bounded cache of lookup answers in front of an engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "cache/answer_table.hpp"
#include "netrove/engine.hpp"
#include "sync/sync.hpp"

namespace netrove {

/// An Engine that remembers the answers of recent lookups per exact address
/// (found records and "no match" alike) and forwards everything else to the
/// wrapped engine.  Writes drop the answers they may change, before they
/// change anything.
///
///   lookup(a)                                   write of p (insert, remove,
///   ---------                                   load, clear, batch forms)
///   read section                                -------------------------
///   table.find(a) --hit--> lend the answer      lock
///     | miss                                      writing + 1
///   seen = generation                             table.drop_inside(p)
///   inner lookup (no cache lock)                unlock
///   lock                                        inner write (no cache lock)
///     no write under way and                    generation + 1
///     generation == seen?                       writing - 1
///       table.store(a, answer)
///   unlock
///   lend the answer
///
///   lookup_many / contains_many / lookup_many_with, per chunk of kChunk
///   addresses, in one read section: table.find every address
///   (prefetched); the distinct misses -> one inner batch lookup (lending
///   the records where the inner engine lends them) -> lock, the same
///   check, every answer stored -> unlock; every answer handed out.
///
/// The table (cache/answer_table.hpp) holds the answers inline in its
/// slots: a hit takes no lock and writes nothing (one hash, the control
/// bytes of one probe run, one slot under its version); a miss writes one
/// slot and one bucket list head, evicts one entry when
/// full, and allocates nothing and touches no reference count, since the
/// write rule above keeps every cached record alive (cache.cpp); a write
/// visits only the bucket lists of its prefix's leading bits.
class CachedEngine final : public Engine,
                           public RecordLender,
                           public BatchEngine,
                           public BatchLender,
                           public EntryReader,
                           public EntryLoader,
                           public EntryEraser,
                           public RecordWriter,
                           public EntryLister {
 public:
  /// `ttl` is kept and never consulted; `capacity` bounds the cached answers
  /// (a capacity of 0 still caches one answer at a time; above 2^20 the
  /// table holds at most 2^20); `inner` must not be null (panic otherwise).
  /// The table starts empty with a fresh random hash seed.  Every write of
  /// `inner` must come through this engine from then on (the cache keeps
  /// the inner engine's records without owning them).
  CachedEngine(std::optional<std::uint64_t> ttl, std::uint64_t capacity, std::shared_ptr<Engine> inner);
  ~CachedEngine() override;

  /// Drops the cached answers inside `prefix`, then the inner insert, whose
  /// result it returns (an inner error leaves the entries dropped: harmless,
  /// they are asked again).
  InsertResult insert(const IpPrefix& prefix, Metadata record) override;
  /// The cached answer for `address`, or the inner answer, which is cached.
  std::optional<Metadata> lookup(const IpAddress& address) const override;
  /// The same lookup lending the answer (see RecordLender): a cached answer
  /// is lent inside a read section; a miss asks the inner engine with no
  /// cache lock held, stores the answer as lookup does and lends it.
  bool lookup_with(const IpAddress& address, RecordVisitor visit) const override;
  /// Batch lookup (see BatchEngine), per chunk of kChunk addresses, in one
  /// read section: every address probed; the distinct missed addresses sent
  /// to the inner engine's batch lookup in one call; their answers stored under one hold of the table lock (unless a
  /// write completed meanwhile) and handed out.  An address missed twice in
  /// one chunk is asked once and counted once by the inner engine, and which
  /// addresses hit is decided at the chunk's start: so the inner counters may
  /// differ from one lookup per address by the chunk's repeats.
  void lookup_many(const IpAddress* addresses, std::size_t n, HeldRecord* out) const override;
  /// The same without handing out any record.  Misses still go to the inner
  /// engine, whose answers the cache keeps.
  void contains_many(const IpAddress* addresses, std::size_t n, bool* found) const override;
  /// The same lending each answer to `visit` inside the chunk's read section
  /// (see BatchLender), in order, no share taken.
  void lookup_many_with(const IpAddress* addresses, std::size_t n, bool* found, BatchVisitor visit) const override;
  /// Drops the cached answers inside any of the prefixes (under the table
  /// lock once), then the inner insert_many, whose result it returns.
  InsertResult insert_many(const IpPrefix* prefixes, Metadata* records, std::size_t n, std::size_t* done) override;
  /// The inner engine's writes of stored records (netrove::insert_record,
  /// insert_records, load_records), each after dropping the cached answers
  /// inside its prefixes, as insert and insert_many.
  InsertResult insert_record(const IpPrefix& prefix, RecordRef record) override;
  InsertResult insert_records(const IpPrefix* prefixes, RecordRef* records, std::size_t n,
                              std::size_t* done) override;
  InsertResult load_records(const IpPrefix* prefixes, RecordRef* records, std::size_t n, std::size_t* done) override;
  /// Drops the cached answers inside `prefix`, then the inner remove, whose
  /// result it returns.
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
  /// As insert, through the inner engine's load.  Panic "the inner engine
  /// cannot load entries" when it does not offer EntryLoader.
  InsertResult load(const IpPrefix& prefix, Metadata record) override;
  /// Every cached answer dropped, then the inner clear.
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
  /// Whether the table's invariants hold (takes the table lock; a full
  /// walk, for tests).
  bool consistent() const;

  /// Addresses per chunk of a batch call.
  static constexpr std::size_t kChunk = 256;

 private:
  /// One write's steps 1 and 3 (cache.cpp) around the inner write: the
  /// constructor drops the entries inside `prefixes[0..n)` (every entry when
  /// `prefixes` is null), the destructor ends the write.
  class Writing {
   public:
    Writing(const CachedEngine& c, const IpPrefix* prefixes, std::size_t n);
    ~Writing();
    Writing(const Writing&) = delete;
    Writing& operator=(const Writing&) = delete;

   private:
    const CachedEngine& c_;
  };

  const EntryReader& inner_reader() const;
  /// The inner answer for `address` inside the caller's read section: the
  /// stored record lent by the inner engine, or (no lending side) an
  /// interned copy whose share goes to `owned`.
  const StoredRecord* ask_inner(const IpAddress& address, RecordRef& owned) const;
  /// Whether a miss that noted generation `seen` may store (table lock held).
  bool may_store(std::uint64_t seen) const noexcept;
  /// The lookup's steps (cache.cpp): `use(answer)` is called inside the read
  /// section with the cached or inner answer (null: no match); `reads` says
  /// whether it reads the record.  Returns whether a record was found.
  template <class Use>
  bool answer(const IpAddress& address, bool reads, Use&& use) const;
  /// The batch calls' steps per chunk (cache.cpp): use(i, answer) for every
  /// address in order, inside the chunk's read section (null: no match).
  template <class Use>
  void many(const IpAddress* addresses, std::size_t n, Use&& use) const;

  std::optional<std::uint64_t> ttl_;
  std::uint64_t capacity_;
  std::shared_ptr<Engine> inner_;
  const RecordLender* inner_lender_;  // inner_ as a lender, or null
  EntryEraser* inner_eraser_;         // inner_ as an eraser, or null
  const BatchLender* inner_batch_lender_;  // inner_ as a batch lender, or null
  RecordWriter* inner_writer_;        // inner_ as a writer of stored records, or null
  // Changed only under mu_ (misses storing, writes dropping); read by
  // lookups with no lock.  Nothing done under mu_ can throw (the table's
  // writer calls and share copies are noexcept), so no failure can leave it
  // half-changed and it needs no poisoned flag.
  mutable cache::AnswerTable table_;
  mutable ForkSafeMutex mu_{ForkGuard::Rank::engine};
  // Writes under way, and writes ended (see the write rule in cache.cpp).
  mutable std::atomic<std::uint32_t> writing_{0};
  mutable std::atomic<std::uint64_t> generation_{0};
};

}  // namespace netrove
