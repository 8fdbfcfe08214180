// AdaptiveEngine: the engine operations over one AdaptiveRadixTree.  Keys
// are the prefix's or address's own bytes (4 for IPv4, 16 for IPv6); the
// tree ignores bits beyond the prefix length.  Records are moved in before
// the write lock is taken and copied out (or lent) under the read lock.
#include "netrove/adaptive_engine.hpp"

#include <memory>

namespace netrove {

AdaptiveEngine::AdaptiveEngine() = default;
AdaptiveEngine::~AdaptiveEngine() = default;

InsertResult AdaptiveEngine::insert(const IpPrefix& prefix, Metadata record) {
  auto owned = std::make_unique<Metadata>(std::move(record));
  PoisonSharedMutex::WriteGuard g(lock_);
  if (tree_.insert(prefix.family, prefix.address.data(), prefix.length, std::move(owned))) ++count_;
  return InsertResult::success();
}

std::optional<Metadata> AdaptiveEngine::lookup(const IpAddress& address) const {
  PoisonSharedMutex::ReadGuard g(lock_);
  const Metadata* found = tree_.search(address.family, address.bytes.data());
  if (found == nullptr) return std::nullopt;
  return *found;
}

bool AdaptiveEngine::lookup_with(const IpAddress& address, RecordVisitor visit) const {
  PoisonSharedMutex::ReadGuard g(lock_);
  const Metadata* found = tree_.search(address.family, address.bytes.data());
  if (found && visit) visit(*found);
  return found != nullptr;
}

std::optional<Metadata> AdaptiveEngine::remove(const IpPrefix& prefix) {
  std::unique_ptr<Metadata> taken;
  {
    PoisonSharedMutex::WriteGuard g(lock_);
    taken = tree_.remove(prefix.family, prefix.address.data(), prefix.length);
    if (taken && count_ > 0) --count_;
  }
  if (!taken) return std::nullopt;
  return std::move(*taken);
}

bool AdaptiveEngine::contains_prefix(const IpPrefix& prefix) const {
  PoisonSharedMutex::ReadGuard g(lock_);
  return tree_.find_exact(prefix.family, prefix.address.data(), prefix.length) != nullptr;
}

void AdaptiveEngine::clear() {
  PoisonSharedMutex::WriteGuard g(lock_);
  tree_.clear();
  count_ = 0;
}

std::uint64_t AdaptiveEngine::len() const {
  PoisonSharedMutex::ReadGuard g(lock_);
  return count_;
}

EngineStats AdaptiveEngine::stats() const { return EngineStats{.size = len()}; }

art::TreeCensus AdaptiveEngine::census() const {
  PoisonSharedMutex::ReadGuard g(lock_);
  return tree_.census();
}

}  // namespace netrove
