// TEMPORARY skeleton stub, deleted by the change that implements it.
#include "netrove/adaptive_engine.hpp"
#include "netrove/cache.hpp"
#include "netrove/hybrid_engine.hpp"
#include "netrove/metadata.hpp"
#include "netrove/panic.hpp"
#include "netrove/text.hpp"
#include "netrove/trie_engine.hpp"

namespace netrove {
AdaptiveEngine::AdaptiveEngine() = default;
AdaptiveEngine::~AdaptiveEngine() = default;
InsertResult AdaptiveEngine::insert(const IpPrefix&, Metadata) { panic("stub"); }
std::optional<Metadata> AdaptiveEngine::lookup(const IpAddress&) const { panic("stub"); }
std::optional<Metadata> AdaptiveEngine::remove(const IpPrefix&) { panic("stub"); }
bool AdaptiveEngine::contains_prefix(const IpPrefix&) const { panic("stub"); }
void AdaptiveEngine::clear() { panic("stub"); }
std::uint64_t AdaptiveEngine::len() const { panic("stub"); }
EngineStats AdaptiveEngine::stats() const { panic("stub"); }


}  // namespace netrove
