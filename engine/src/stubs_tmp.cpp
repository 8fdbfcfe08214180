// TEMPORARY skeleton stubs: each helper deletes the stubs it replaces.
#include "netrove/adaptive_engine.hpp"
#include "netrove/cache.hpp"
#include "netrove/hybrid_engine.hpp"
#include "netrove/metadata.hpp"
#include "netrove/panic.hpp"
#include "netrove/text.hpp"
#include "netrove/trie_engine.hpp"

namespace netrove {

// --- metadata / text (foundation helper) ---
SeededStringHash::SeededStringHash() : seed(0) {}
std::size_t SeededStringHash::operator()(std::string_view s) const noexcept {
  std::uint64_t h = seed ^ 1469598103934665603ull;
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  return h;
}
std::string to_json(const Metadata&) { panic("stub"); }
std::optional<Metadata> from_json(std::string_view) { panic("stub"); }
std::optional<IpPrefix> parse_prefix(std::string_view) { panic("stub"); }
std::optional<IpAddress> parse_address(std::string_view) { panic("stub"); }
std::string format_address(std::uint8_t, const std::array<std::uint8_t, 16>&) { panic("stub"); }
std::string prefix_field(const IpPrefix&) { panic("stub"); }

// --- tries (trie helper) ---
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

// --- adaptive (ART helper) ---
AdaptiveEngine::AdaptiveEngine() = default;
AdaptiveEngine::~AdaptiveEngine() = default;
InsertResult AdaptiveEngine::insert(const IpPrefix&, Metadata) { panic("stub"); }
std::optional<Metadata> AdaptiveEngine::lookup(const IpAddress&) const { panic("stub"); }
std::optional<Metadata> AdaptiveEngine::remove(const IpPrefix&) { panic("stub"); }
bool AdaptiveEngine::contains_prefix(const IpPrefix&) const { panic("stub"); }
void AdaptiveEngine::clear() { panic("stub"); }
std::uint64_t AdaptiveEngine::len() const { panic("stub"); }
EngineStats AdaptiveEngine::stats() const { panic("stub"); }

// --- cache (python helper) ---
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

// --- hybrid (redis helper) ---
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
