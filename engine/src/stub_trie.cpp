// TEMPORARY skeleton stub, deleted by the change that implements it.
#include "netrove/adaptive_engine.hpp"
#include "netrove/cache.hpp"
#include "netrove/hybrid_engine.hpp"
#include "netrove/metadata.hpp"
#include "netrove/panic.hpp"
#include "netrove/text.hpp"
#include "netrove/trie_engine.hpp"

namespace netrove {
class TrieRoots {};
TrieEngine::TrieEngine(NodeKind kind) : kind_(kind), roots_(std::make_shared<TrieRoots>()) {}
TrieEngine::TrieEngine(NodeKind kind, std::shared_ptr<TrieRoots> roots) : kind_(kind), roots_(std::move(roots)) {}
TrieEngine::~TrieEngine() = default;
template <TrieForm F> InsertResult TrieEngine::insert(const IpPrefix&, Metadata) { panic("stub"); }
template <TrieForm F> std::optional<Metadata> TrieEngine::lookup(const IpAddress&) const { panic("stub"); }
template <TrieForm F> std::optional<Metadata> TrieEngine::remove(const IpPrefix&) { panic("stub"); }
template <TrieForm F> bool TrieEngine::contains_prefix(const IpPrefix&) const { panic("stub"); }
template <TrieForm F> void TrieEngine::clear() { panic("stub"); }
std::uint64_t TrieEngine::len() const noexcept { return 0; }
EngineStats TrieEngine::stats() const { panic("stub"); }
#define NETROVE_INST(F)                                                             \
  template InsertResult TrieEngine::insert<F>(const IpPrefix&, Metadata);          \
  template std::optional<Metadata> TrieEngine::lookup<F>(const IpAddress&) const;  \
  template std::optional<Metadata> TrieEngine::remove<F>(const IpPrefix&);         \
  template bool TrieEngine::contains_prefix<F>(const IpPrefix&) const;             \
  template void TrieEngine::clear<F>();
NETROVE_INST(TrieForm::compressed)
NETROVE_INST(TrieForm::uncompressed)


}  // namespace netrove
