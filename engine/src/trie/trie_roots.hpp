// trie_roots.hpp - the shared part of one trie: a root per address family,
// the writer lock and the prefix count.
//
//   TrieRoots ----+-- root[0] --> IPv4 trie   (keys of IPv4 prefixes only)
//   (shared by    +-- root[1] --> IPv6 trie   (keys of IPv6 prefixes only)
//    all shards)  +-- writer   (PoisonMutex; inserts, removes, clears)
//                 +-- count    (stored prefixes of both families)
//                 +-- index    (read index of both families: every stored
//                               prefix again, answering lookups; changed
//                               under `writer` after each trie change)
//                 +-- shape    (version word of the in-place edge splits:
//                               walks beside writers check it, see
//                               trie_compressed.hpp)
//                 +-- finger   (the last single insert's walk, under
//                               `writer`; insert_finger.hpp)
//
// Each family has its own key space, so an IPv4 prefix can only ever cover
// IPv4 addresses and never shares a node with an IPv6 prefix; IPv4-mapped
// and IPv4-compatible IPv6 addresses are looked up in the IPv6 trie.
//
// Writers hold `writer` for the whole of one insert, remove or clear, so two
// concurrent inserts of one absent prefix are told apart (the second one
// replaces) and the count moves exactly once per stored or removed prefix.
// Lookups never take it.  The count lives here, not in each shard, because
// all shards of a sharded engine write the same trie: a per-shard count
// drifts as soon as writes through different shards interleave.
#pragma once

#include <atomic>
#include <cstdint>

#include "trie/node.hpp"
#include "sync/sync.hpp"
#include "index/read_index.hpp"
#include "trie/insert_finger.hpp"
#include "trie/node_blocks.hpp"

namespace netrove {

class TrieRoots {
 public:
  /// Two empty roots of `kind`.
  explicit TrieRoots(NodeKind kind) : kind_(kind) {
    for (auto& r : roots_) r.store(make_node(kind).release(), std::memory_order_relaxed);
  }
  /// Frees both trees and the index before returning: no reader can be
  /// inside a trie whose last owner is gone, so nothing waits for a grace
  /// period, except nodes that writes retired earlier and that readers
  /// may have seen then (drained).
  ~TrieRoots() {
    {
      rcu::DestroyAtOnce now;
      for (auto& r : roots_) trie::release(r.load(std::memory_order_relaxed));
      index_.destroy_now();
    }
    rcu::drain();
  }
  TrieRoots(const TrieRoots&) = delete;
  TrieRoots& operator=(const TrieRoots&) = delete;

  NodeKind kind() const noexcept { return kind_; }

  /// The writer lock, held for one write.  Every write but a single insert
  /// may retire nodes, so it forgets the insert finger as it begins.
  class Writing {
   public:
    enum Kind { single_insert, other };
    Writing(TrieRoots& t, Kind kind) : guard_(t.writer_) {
      if (kind != single_insert) t.finger_.forget();
    }

   private:
    PoisonMutex::Guard guard_;
  };

  /// The last single insert's walk.  Writer lock held.
  trie::InsertFinger& finger() noexcept { return finger_; }

  /// The read index shared by every shard; written under the writer lock.
  index::ReadIndex& read_index() noexcept { return index_; }
  const index::ReadIndex& read_index() const noexcept { return index_; }

  /// The root of family index `fam` (trie::family_index); valid until the
  /// caller's read section ends.
  trie::NodeHeader* root(unsigned fam) const noexcept { return roots_[fam].load(std::memory_order_acquire); }

  /// Publishes `owned` as the root of `fam` and releases the previous root.
  /// Writer lock held.
  void replace_root(unsigned fam, trie::NodeHeader* owned) noexcept {
    finger_.forget();
    trie::release(roots_[fam].exchange(owned, std::memory_order_acq_rel));
  }

  /// Runs `change`, an in-place change of the trie's shape, with walkers
  /// told (they retry).  Writer lock held.
  template <class F>
  void change_shape(F&& change) noexcept {
    shape_.write(change);
  }

  /// The result of `walk` (a walk of the trie inside the caller's read
  /// section, by the rule in trie_compressed.hpp) from a run that no shape
  /// change overlapped, or nullopt when `tries` runs were overlapped.  A
  /// walk may run several times, so it starts from scratch each time; what
  /// it throws passes through.
  template <class F>
  auto stable_walk(F&& walk, int tries) const noexcept(noexcept(walk())) {
    return shape_.try_read(walk, tries);
  }

  /// A handle to the current root of `family` (kIpv4 / kIpv6).
  NodeRef root_ref(std::uint8_t family) const {
    rcu::ReadSection rs;
    for (;;) {
      trie::NodeHeader* r = root(trie::family_index(family));
      if (trie::try_share(r)) return NodeRef::adopt(r);
    }
  }

 private:
  // What lookups read sits on its own cache line, away from what every
  // write dirties (the count and the writer lock).
  alignas(64) std::atomic<trie::NodeHeader*> roots_[2];
  index::ReadIndex index_;
  NodeKind kind_;

 public:
  /// Stored prefixes; changed only under the writer lock.
  alignas(64) std::atomic<std::uint64_t> count{0};

 private:
  trie::VersionLock shape_;
  PoisonMutex writer_;
  trie::InsertFinger finger_;
};

}  // namespace netrove
