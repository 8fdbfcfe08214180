// netrove/cache.hpp - a bounded cache of lookup answers in front of an engine.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>

#include "netrove/engine.hpp"
#include "netrove/sync.hpp"

namespace netrove {

/// Hash of an IpAddress mixed with a per-map seed, so that two caches (and
/// two processes) place the same addresses differently.
struct SeededAddressHash {
  std::uint64_t seed = 0;
  std::size_t operator()(const IpAddress& a) const noexcept;
};

/// An Engine that remembers the answers of recent lookups per exact address
/// (found records and "no match" alike) and forwards everything else to the
/// wrapped engine.  Writes drop the answers they may have changed.  See
/// engine/src/cache.cpp for the locking and the generation rule that keeps
/// a racing lookup from caching an answer older than a completed write.
class CachedEngine final : public Engine, public RecordLender {
 public:
  /// `ttl` is kept and never consulted; `capacity` bounds the cached answers
  /// (a capacity of 0 still caches one answer at a time); `inner` must not be
  /// null.  The map starts empty with a fresh random hash seed.
  CachedEngine(std::optional<std::uint64_t> ttl, std::uint64_t capacity, std::shared_ptr<Engine> inner);
  ~CachedEngine() override;

  /// Inner insert; on success drops the cached answers inside `prefix`.
  /// Returns the inner result unchanged.
  InsertResult insert(const IpPrefix& prefix, Metadata record) override;
  /// The cached answer for `address`, or the inner answer, which is cached.
  std::optional<Metadata> lookup(const IpAddress& address) const override;
  /// The same lookup lending the answer (see RecordLender): a cached answer
  /// is lent under the read lock; a miss asks the inner engine with no cache
  /// lock held, stores the answer as lookup does and lends it.
  bool lookup_with(const IpAddress& address, RecordVisitor visit) const override;
  /// Inner remove; then drops the cached answers inside `prefix` whatever it
  /// returned.  Returns the inner result.
  std::optional<Metadata> remove(const IpPrefix& prefix) override;
  /// Inner contains_prefix; the cache is neither read nor written.
  bool contains_prefix(const IpPrefix& prefix) const override;
  /// Inner clear, then every cached answer is dropped.
  void clear() override;
  /// Inner len.
  std::uint64_t len() const override;
  /// Inner stats: lookups answered from the cache are not counted.
  EngineStats stats() const override;

  const std::shared_ptr<Engine>& inner() const noexcept { return inner_; }
  std::optional<std::uint64_t> ttl() const noexcept { return ttl_; }
  std::uint64_t capacity() const noexcept { return capacity_; }
  /// Number of cached answers now (takes the read lock).
  std::size_t cached() const;
  /// Whether an answer for `address` is cached now (takes the read lock).
  bool is_cached(const IpAddress& address) const;

 private:
  using Map = std::unordered_map<IpAddress, std::optional<Metadata>, SeededAddressHash>;

  void invalidate(const IpPrefix& prefix);
  // Removes the first entry at or after the sweeping hand.  The map must
  // not be empty; the write lock must be held.
  void evict_one() const;

  std::optional<std::uint64_t> ttl_;
  std::uint64_t capacity_;
  std::shared_ptr<Engine> inner_;
  mutable PoisonSharedMutex lock_;
  // Guarded by lock_.  generation_ counts completed invalidations (insert,
  // remove, clear); a miss stores its answer only if it is unchanged.
  mutable Map map_;
  mutable std::uint64_t generation_ = 0;
  mutable std::size_t hand_ = 0;  // next bucket eviction looks at
};

}  // namespace netrove
