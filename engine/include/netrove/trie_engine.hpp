// netrove/trie_engine.hpp - one binary trie behind the engine operations.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "netrove/metadata.hpp"
#include "netrove/node.hpp"
#include "netrove/types.hpp"

namespace netrove {

/// Which trie algorithms run on a TrieEngine; fixed by the LocalEngine tag.
enum class TrieForm : std::uint8_t { uncompressed, compressed };

/// The roots of one trie (one per family) and its writer lock, shared by
/// every shard of a sharded trie.
class TrieRoots;

/// Counts and statistics over one trie.  The shards of a sharded trie are
/// TrieEngines sharing one TrieRoots, each with its own counters.
class TrieEngine {
 public:
  /// An engine over a new, empty trie of nodes of `kind`.
  explicit TrieEngine(NodeKind kind);
  /// An engine over the trie `roots` (shared with other engines).
  TrieEngine(NodeKind kind, std::shared_ptr<TrieRoots> roots);
  ~TrieEngine();

  template <TrieForm F> InsertResult insert(const IpPrefix& prefix, Metadata record);
  template <TrieForm F> std::optional<Metadata> lookup(const IpAddress& address) const;
  template <TrieForm F> std::optional<Metadata> remove(const IpPrefix& prefix);
  template <TrieForm F> bool contains_prefix(const IpPrefix& prefix) const;
  template <TrieForm F> void clear();
  std::uint64_t len() const noexcept;
  EngineStats stats() const;

  NodeKind node_kind() const noexcept { return kind_; }
  const std::shared_ptr<TrieRoots>& roots() const noexcept { return roots_; }

 private:
  NodeKind kind_;
  std::shared_ptr<TrieRoots> roots_;
};

}  // namespace netrove
