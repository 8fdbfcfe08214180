// art/adaptive_engine.hpp - the adaptive radix tree behind the engine
// operations, under one read-write lock.
#pragma once

#include <cstdint>

#include "art/tree.hpp"
#include "netrove/engine.hpp"
#include "sync/sync.hpp"

namespace netrove {

/// One AdaptiveRadixTree, its entry count and the read-write lock over both.
/// Readers (lookup, contains_prefix, len, stats) share the lock; writers
/// (insert, remove, clear) hold it for the whole tree operation.  A write
/// aborted by a Panic poisons the lock and every later operation panics.
/// Default-constructible, so a sharded group can hold engines inline.
class AdaptiveEngine final : public Engine, public RecordLender, public EntryReader, public EntryLoader {
 public:
  /// An engine over an empty tree (an empty Node4 root per family), count 0.
  AdaptiveEngine();
  ~AdaptiveEngine() override;
  AdaptiveEngine(const AdaptiveEngine&) = delete;
  AdaptiveEngine& operator=(const AdaptiveEngine&) = delete;

  /// Stores `record` for `prefix` (host bits ignored); an entry for the same
  /// prefix gets the new record and the count stays.  Never fails.  Panics
  /// on a prefix of an unknown family or too long for its family.
  InsertResult insert(const IpPrefix& prefix, Metadata record) override;
  /// The same insert of a stored record the caller holds (one share handed
  /// over): the shards of a sharded group store one record.
  InsertResult insert_shared(const IpPrefix& prefix, RecordRef record);
  /// A copy of the record of the longest stored prefix of the address's
  /// family containing `address`, or nothing.
  std::optional<Metadata> lookup(const IpAddress& address) const override;
  /// The same lookup lending the stored record to `visit` under the read
  /// lock (see RecordLender).  Counts nothing, as lookup counts nothing.
  bool lookup_with(const IpAddress& address, RecordVisitor visit) const override;
  /// Takes out the entry for exactly `prefix` and returns its record, or
  /// nothing; contained and containing prefixes stay.
  std::optional<Metadata> remove(const IpPrefix& prefix) override;
  /// The same remove handing over the stored record (empty when none).
  RecordRef take(const IpPrefix& prefix);
  /// Whether an entry is stored for exactly `prefix`.
  bool contains_prefix(const IpPrefix& prefix) const override;
  /// Releases every entry; the count becomes 0.
  void clear() override;
  /// Number of entries held.
  std::uint64_t len() const override;
  /// size = len(); the other five counters are 0.
  EngineStats stats() const override;

  /// The enumerations of EntryReader, each under the read lock.
  std::vector<Entry> covering(const IpAddress& address, std::size_t limit) const override;
  std::vector<Entry> covered(const IpPrefix& prefix) const override;
  HeldRecord exact(const IpPrefix& prefix) const override;
  /// insert: the engine counts nothing but its entries anyway.
  InsertResult load(const IpPrefix& prefix, Metadata record) override { return insert(prefix, std::move(record)); }

  /// Node and byte counts of the tree, read under the read lock.
  art::TreeCensus census() const;

 private:
  mutable PoisonSharedMutex lock_;
  art::AdaptiveRadixTree tree_;
  std::uint64_t count_ = 0;
};

}  // namespace netrove
