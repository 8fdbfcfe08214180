// TEMPORARY skeleton stub, deleted by the change that implements it.
#include "netrove/adaptive_engine.hpp"
#include "netrove/cache.hpp"
#include "netrove/hybrid_engine.hpp"
#include "netrove/metadata.hpp"
#include "netrove/panic.hpp"
#include "netrove/text.hpp"
#include "netrove/trie_engine.hpp"

namespace netrove {
std::unique_ptr<HybridEngine> HybridEngine::start(const EngineConfig&, std::string& error) {
  error = "Redis error: not built yet";
  return nullptr;
}
InsertResult HybridEngine::insert(const IpPrefix&, Metadata) { panic("stub"); }
std::optional<Metadata> HybridEngine::lookup(const IpAddress&) const { panic("stub"); }
std::optional<Metadata> HybridEngine::remove(const IpPrefix&) { panic("stub"); }
bool HybridEngine::contains_prefix(const IpPrefix&) const { panic("stub"); }
void HybridEngine::clear() { panic("stub"); }
std::uint64_t HybridEngine::len() const { panic("stub"); }
EngineStats HybridEngine::stats() const { panic("stub"); }


}  // namespace netrove
