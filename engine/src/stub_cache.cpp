// TEMPORARY skeleton stub, deleted by the change that implements it.
#include "netrove/adaptive_engine.hpp"
#include "netrove/cache.hpp"
#include "netrove/hybrid_engine.hpp"
#include "netrove/metadata.hpp"
#include "netrove/panic.hpp"
#include "netrove/text.hpp"
#include "netrove/trie_engine.hpp"

namespace netrove {
CachedEngine::CachedEngine(std::optional<std::uint64_t>, std::uint64_t, std::shared_ptr<Engine> inner)
    : inner_(std::move(inner)) {}
CachedEngine::~CachedEngine() = default;
InsertResult CachedEngine::insert(const IpPrefix& p, Metadata m) { return inner_->insert(p, std::move(m)); }
std::optional<Metadata> CachedEngine::lookup(const IpAddress& a) const { return inner_->lookup(a); }
std::optional<Metadata> CachedEngine::remove(const IpPrefix& p) { return inner_->remove(p); }
bool CachedEngine::contains_prefix(const IpPrefix& p) const { return inner_->contains_prefix(p); }
void CachedEngine::clear() { inner_->clear(); }
std::uint64_t CachedEngine::len() const { return inner_->len(); }
EngineStats CachedEngine::stats() const { return inner_->stats(); }


}  // namespace netrove
