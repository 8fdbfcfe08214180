// AdaptiveEngine: the engine operations over one AdaptiveRadixTree.  Keys
// are the prefix's or address's own bytes (4 for IPv4, 16 for IPv6); the
// tree ignores bits beyond the prefix length.  Records are moved in before
// the write lock is taken and copied out (or lent) under the read lock.
//
// Records are stored records (netrove/record.hpp), shared with every other
// holder of equal contents, trie engines included, whose lock-free readers
// may still read a record this tree dropped: so a dropped record waits for
// a grace period like a trie's, and the writes here end by collecting (and
// clear and destruction by draining) once the lock is released.
#include "art/adaptive_engine.hpp"

#include <algorithm>
#include <iterator>
#include <memory>

#include "sync/rcu.hpp"

namespace netrove {

AdaptiveEngine::AdaptiveEngine() = default;
AdaptiveEngine::~AdaptiveEngine() {
  tree_.clear();
  rcu::drain();
}

InsertResult AdaptiveEngine::insert(const IpPrefix& prefix, Metadata record) {
  return insert_shared(prefix, RecordRef::intern(record));
}

InsertResult AdaptiveEngine::insert_shared(const IpPrefix& prefix, RecordRef record) {
  {
    PoisonSharedMutex::WriteGuard g(lock_);
    if (tree_.insert(prefix.family, prefix.address.data(), prefix.length, std::move(record))) ++count_;
  }
  rcu::collect();  // a replaced record may have been the last share
  return InsertResult::success();
}

std::optional<Metadata> AdaptiveEngine::lookup(const IpAddress& address) const {
  PoisonSharedMutex::ReadGuard g(lock_);
  const StoredRecord* found = tree_.search(address.family, address.bytes.data());
  if (found == nullptr) return std::nullopt;
  return RecordView(*found).to_metadata();
}

bool AdaptiveEngine::lookup_with(const IpAddress& address, RecordVisitor visit) const {
  PoisonSharedMutex::ReadGuard g(lock_);
  const StoredRecord* found = tree_.search(address.family, address.bytes.data());
  if (found && visit) visit(RecordView(*found));
  return found != nullptr;
}

std::optional<Metadata> AdaptiveEngine::remove(const IpPrefix& prefix) {
  const RecordRef taken = take(prefix);
  if (!taken) return std::nullopt;
  return taken.view().to_metadata();
}

RecordRef AdaptiveEngine::take(const IpPrefix& prefix) {
  RecordRef taken;
  {
    PoisonSharedMutex::WriteGuard g(lock_);
    taken = tree_.remove(prefix.family, prefix.address.data(), prefix.length);
    if (taken && count_ > 0) --count_;
  }
  rcu::collect();
  return taken;
}

bool AdaptiveEngine::contains_prefix(const IpPrefix& prefix) const {
  PoisonSharedMutex::ReadGuard g(lock_);
  return tree_.find_exact(prefix.family, prefix.address.data(), prefix.length) != nullptr;
}

void AdaptiveEngine::clear() {
  {
    PoisonSharedMutex::WriteGuard g(lock_);
    tree_.clear();
    count_ = 0;
  }
  rcu::drain();  // the records whose last share the tree held
}

std::uint64_t AdaptiveEngine::len() const {
  PoisonSharedMutex::ReadGuard g(lock_);
  return count_;
}

EngineStats AdaptiveEngine::stats() const { return EngineStats{.size = len()}; }

namespace {

// The leaves' entries with a share of each record, taken under the read lock.
std::vector<Entry> shared(std::uint8_t family, const std::vector<const art::Leaf*>& leaves) {
  std::vector<Entry> out;
  out.reserve(leaves.size());
  for (const art::Leaf* l : leaves) {
    Entry e{IpPrefix{family, {}, l->prefix_len}, l->value};
    std::copy(std::begin(l->key), std::end(l->key), e.prefix.address.begin());
    out.push_back(std::move(e));
  }
  return out;
}

}  // namespace

std::vector<Entry> AdaptiveEngine::covering(const IpAddress& address, std::size_t limit) const {
  std::vector<const art::Leaf*> leaves;
  PoisonSharedMutex::ReadGuard g(lock_);
  tree_.covering(address.family, address.bytes.data(), leaves);
  keep_longest_first(leaves, limit);
  return shared(address.family, leaves);
}

std::vector<Entry> AdaptiveEngine::covered(const IpPrefix& prefix) const {
  std::vector<const art::Leaf*> leaves;
  PoisonSharedMutex::ReadGuard g(lock_);
  tree_.covered(prefix.family, prefix.address.data(), prefix.length, leaves);
  return shared(prefix.family, leaves);
}

HeldRecord AdaptiveEngine::exact(const IpPrefix& prefix) const {
  PoisonSharedMutex::ReadGuard g(lock_);
  const StoredRecord* found = tree_.find_exact(prefix.family, prefix.address.data(), prefix.length);
  // The leaf holds a share under the read lock, so the block is alive.
  return found ? RecordRef::share(RecordView(*found)) : HeldRecord();
}

art::TreeCensus AdaptiveEngine::census() const {
  PoisonSharedMutex::ReadGuard g(lock_);
  return tree_.census();
}

}  // namespace netrove
