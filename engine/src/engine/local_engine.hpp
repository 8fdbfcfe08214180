// engine/local_engine.hpp - the in-process engine: one of six variants.
//
//   tag  variant               held behind variant_
//   0    uncompressed          TrieEngine, uncompressed trie algorithms
//   1    sharded uncompressed  ShardedEngine of TrieEngine handles (one shared trie)
//   2    compressed            TrieEngine, path-compressed trie algorithms
//   3    sharded compressed    ShardedEngine of TrieEngine handles (one shared trie)
//   4    adaptive              AdaptiveEngine
//   5    sharded adaptive      ShardedEngine of inline AdaptiveEngines (independent trees)
//
// A LocalEngine is two words, the tag and a shared pointer to the variant, so
// copies share the engine.  Sharded variants fan every write out to every
// shard in index order and route a lookup to one shard by a hash of the
// address's leading `shard_bits` bits.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "netrove/engine.hpp"

namespace netrove {

class TrieEngine;
class AdaptiveEngine;

enum class LocalTag : std::uint8_t {
  uncompressed = 0,
  sharded_uncompressed = 1,
  compressed = 2,
  sharded_compressed = 3,
  adaptive = 4,
  sharded_adaptive = 5,
};

/// A group of shards.  `shard_count` is the modulus of shard selection and
/// equals shards.size() in every engine the factory builds.
template <class Shard>
struct ShardedEngine {
  std::vector<Shard> shards;
  std::uint64_t shard_count = 0;
  std::uint8_t shard_bits = 32;

  /// Index of the shard that answers lookups of `a`: h = h * 31 + byte over
  /// the leading shard_bits / 8 bytes, modulo shard_count.  Panics on an
  /// engine whose shard_count is 0 or exceeds its shards.
  std::size_t select(const IpAddress& a) const;
};

using ShardedTrie = ShardedEngine<std::shared_ptr<TrieEngine>>;
using ShardedAdaptive = ShardedEngine<AdaptiveEngine>;

class LocalEngine final : public Engine,
                          public RecordLender,
                          public BatchEngine,
                          public BatchLender,
                          public EntryReader,
                          public EntryLoader,
                          public EntryEraser,
                          public RecordWriter,
                          public EntryLister {
 public:
  LocalEngine(LocalTag tag, std::shared_ptr<void> variant) noexcept : tag_(tag), variant_(std::move(variant)) {}

  static LocalEngine uncompressed(std::shared_ptr<TrieEngine> e);
  static LocalEngine compressed(std::shared_ptr<TrieEngine> e);
  static LocalEngine sharded_uncompressed(std::shared_ptr<ShardedTrie> e);
  static LocalEngine sharded_compressed(std::shared_ptr<ShardedTrie> e);
  static LocalEngine adaptive(std::shared_ptr<AdaptiveEngine> e);
  static LocalEngine sharded_adaptive(std::shared_ptr<ShardedAdaptive> e);

  InsertResult insert(const IpPrefix& prefix, Metadata record) override;
  std::optional<Metadata> lookup(const IpAddress& address) const override;
  /// The same lookup, routed the same way, lending the record (see
  /// RecordLender).
  bool lookup_with(const IpAddress& address, RecordVisitor visit) const override;
  /// Batch lookups (see BatchEngine): the trie variants answer from the
  /// read index, unsharded ones with interleaved walks and sharded ones one
  /// address at a time (each counted by the shard it routes to); the
  /// adaptive variants copy each lent record.
  void lookup_many(const IpAddress* addresses, std::size_t n, HeldRecord* out) const override;
  void contains_many(const IpAddress* addresses, std::size_t n, bool* found) const override;
  /// lookup_many lending the records (see BatchLender), routed and counted
  /// the same way; the adaptive variants lend each record by lookup_with.
  void lookup_many_with(const IpAddress* addresses, std::size_t n, bool* found, BatchVisitor visit) const override;
  /// Batch insert (see BatchEngine): the records interned, then
  /// insert_records.  Never fails.
  InsertResult insert_many(const IpPrefix* prefixes, Metadata* records, std::size_t n, std::size_t* done) override;
  /// The writes of stored records (RecordWriter), routed as insert and
  /// load: one trie's bulk load (TrieEngine::bulk_load; a sharded trie's
  /// shards share it, so only shard 0 writes), or for the adaptive
  /// variants one insert per element into every shard.  Never fail.
  InsertResult insert_record(const IpPrefix& prefix, RecordRef record) override;
  InsertResult insert_records(const IpPrefix* prefixes, RecordRef* records, std::size_t n,
                              std::size_t* done) override;
  InsertResult load_records(const IpPrefix* prefixes, RecordRef* records, std::size_t n, std::size_t* done) override;
  std::optional<Metadata> remove(const IpPrefix& prefix) override;
  /// remove routed the same way, the taken record dropped (see EntryEraser).
  bool erase(const IpPrefix& prefix) override;
  bool contains_prefix(const IpPrefix& prefix) const override;
  void clear() override;
  std::uint64_t len() const override;
  EngineStats stats() const override;

  /// The enumerations of EntryReader, answered by the one engine that len
  /// reads: the trie or tree, or shard 0 of a sharded variant (every shard
  /// holds every entry); empty for a group without shards.
  std::vector<Entry> covering(const IpAddress& address, std::size_t limit) const override;
  std::vector<Entry> covered(const IpPrefix& prefix) const override;
  HeldRecord exact(const IpPrefix& prefix) const override;
  /// EntryLister, from the same engine: a trie lends its stored records;
  /// a tree's entries are shared under its read lock, then lent one family
  /// at a time.
  void list_entries(EntrySink& sink) const override;
  /// insert without counting: every shard, in index order, as insert.
  InsertResult load(const IpPrefix& prefix, Metadata record) override;

  LocalTag tag() const noexcept { return tag_; }
  /// Number of shards (1 for the unsharded variants).
  std::size_t shard_count() const noexcept;
  /// The trie engine of tags 0 and 2, or shard i of tags 1 and 3; null otherwise.
  const TrieEngine* trie(std::size_t shard = 0) const noexcept;
  /// The adaptive engine of tag 4, or shard i of tag 5; null otherwise.
  const AdaptiveEngine* adaptive_engine(std::size_t shard = 0) const noexcept;

 private:
  /// f(engine) with the engine that answers the enumerations, or `none`.
  template <class R, class F>
  R with_entry_shard(R none, F&& f) const;
  /// insert (Count) or load (!Count) of a stored record.
  template <bool Count>
  InsertResult put(const IpPrefix& prefix, RecordRef record);
  /// insert_records (Count) or load_records (!Count).
  template <bool Count>
  InsertResult put_many(const IpPrefix* prefixes, RecordRef* records, std::size_t n, std::size_t* done);

  template <class T>
  T& as() const noexcept { return *static_cast<T*>(variant_.get()); }
  /// The one dispatch over the tag: f(shape) with the shape of the variant
  /// (one trie or a group of trie shards in the tag's form, one tree or a
  /// group of trees; see local_engine.cpp), returning what f returns.
  /// Panics on a tag outside the six.
  template <class F>
  decltype(auto) visit(F&& f) const;
  /// The batch reads of every variant: run<form>(trie engine, from, count,
  /// tally) over the whole batch for an unsharded trie; for trie shards over
  /// one trie, over the batch on shard 0 with Tally::caller, each lookup
  /// then counted on the shard it routes to by hit(i) (whether address i
  /// found a record); for shards over several tries, per address on the
  /// shard it routes to; one(i) per address for the adaptive variants.
  template <class TrieRun, class Hit, class Adaptive>
  void read_many(const IpAddress* addresses, std::size_t n, TrieRun&& run, Hit&& hit, Adaptive&& one) const;

  LocalTag tag_;
  std::shared_ptr<void> variant_;
};

}  // namespace netrove
