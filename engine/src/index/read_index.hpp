// read_index.hpp - the read index of one trie: a multibit trie of stride-8
// nodes per address family that answers longest-prefix lookups.
//
// The binary trie stays the structure of record (inserts, removes, exact
// tests, counters); the index holds every stored prefix once more, with a
// pointer to the trie's immutable record (it owns one share of it), so that a
// lookup reads at most one node per octet instead of one node per key bit.
//
// Why stride-8 popcount-compressed nodes for both families
// ---------------------------------------------------------
// Measured on the full table (901,899 IPv4 and 160,147 IPv6 prefixes,
// bench/cpp/index_bench.cpp, BM_Build's index counters): IPv4 needs 26,065 nodes and IPv6
// 38,162; the index costs 11.6 heap bytes per IPv4 prefix and 33.9 per IPv6
// prefix (records not counted).  Expanded 16-8-8 tables for IPv4 would need
// a 65,536-entry first table and 25,398 second-level and 451 third-level
// tables of 256 entries, about 29 B per prefix even with 4-byte entries,
// and every covering prefix pushed into the entries it covers, so a remove
// must find the next covering prefix and rewrite up to a whole table; for
// IPv6 expanded tables cost several hundred bytes per prefix.  A compressed node keeps each prefix in one place, so inserts
// and removes touch one node, and the root and the 256 nodes below it stay
// in the cache.  One code path serves both families.
//
// A lookup (numbered as in the code)
// ----------------------------------
//   1. descend: from the root, follow the child for each address octet while
//      one exists, remembering the nodes passed (at most 4 for IPv4, 16 for
//      IPv6);
//   2. backtrack: from the deepest node up, the first node with a prefix
//      covering its octet (StrideNode::longest) gives the answer, because a
//      deeper node only holds longer prefixes.
//
//   10.0.0.0/8, 10.1.0.0/16 and 10.1.2.0/24 stored; lookup 10.1.2.3:
//
//   root (depth 0)                depth 1 (10.x)           depth 2 (10.1.x)
//   kids {10}                     kids {1}                 kids {}
//   prefixes {256+10 = /8}  --10->  prefixes {256+1 = /16} --1-> prefixes {256+2 = /24}
//                                                                       ^ answer
//   lookup 10.1.9.9: depth 2 has nothing covering octet 9, depth 1 gives /16.
//
// Writes: copy-on-write, one pointer store each
// ----------------------------------------------
// A published node changes only in its slots.  A change that adds or drops
// a child or a prefix builds a new node beside the old one (and any new
// nodes below it), then publishes it with one release store into its
// parent's child slot (or the family's root); the old node is retired
// (rcu::retire) and freed after every reader that could see it has left.
// A reader therefore sees, for every address, the index before or after
// the write, never a mixture.  Writers are serialised by the trie's writer
// lock, so the path they walk is stable.
//
// Insert, numbered as in the code:
//   I1. the prefix is present: store the new record into its slot.
//   I2. its node exists: build the node again with one more prefix.
//   I3. the path ends above its node: build the missing nodes aside (bottom
//       up) and the deepest existing node again with one more child:
//
//       before: 10.0.0.0/8 only        insert 10.1.2.0/24
//
//       root [/8 at 256+10]            root' [/8 at 256+10, kid 10] -- built
//                                        |10                           aside,
//                                      A [kid 1]                       then
//                                        |1                            one
//                                      B [/24 at 256+2]                store
//       (root is retired; /8's record moves to root' with its share)
//
// Batch insert (insert_batch), for insert_many: the batch is sorted by
// address family, network octets and length, so the items under one node
// are one run and the items under each of its children are one run inside
// it.  From the root down, every node with items under it is built again
// once, with all of its new prefixes (B1; an equal prefix's slot takes the
// new record), the children that have items under them built again first
// (B2, recursively; missing ones built from nothing) and its other slots
// copied (B3); each family's new root is then published with one store and
// every replaced node retired.  A reader sees the whole batch of a family
// or none of it, and a batch of k prefixes under one node copies that node
// once instead of k times:
//
//   root [kids 10]                          root' [kids 10, 11]   (one store)
//     |10                insert 10.1.2.0/24,  |10        \11
//   A [kid 1]            10.1.3.0/24,       A' [kid 1]   C [/16 at 256+0]
//     |1                 11.0.0.0/16          |1
//   B [/24 at 256+2]                        B' [/24 at 256+2, 256+3]
//
// Remove, numbered as in the code:
//   R1. its node keeps other prefixes or children (or is the root): build it
//       again without the prefix.
//   R2. its node would be empty: drop it, and every ancestor that would be
//       left empty, by building the lowest ancestor that keeps something
//       again without that child.
//   Either way a shorter covering prefix needs no repair: it never left its
//   own position, and the backtracking lookup finds it as soon as the longer
//   one is gone:
//
//       root [/8 at 256+10, kid 10]          root' [/8 at 256+10]
//         |10                     remove       (A, B retired)
//       A [kid 1]              10.1.2.0/24
//         |1                   ---------->   lookup 10.1.2.3: descend stops at
//       B [/24 at 256+2]                     the root, backtrack finds /8
//
// Clear swaps in an empty root per family and retires each old tree whole.
//
// The root table: the first two octets in one load
// --------------------------------------------------
// A family with many prefixes (kTableMin, 65,536, or more) also gets a
// table indexed by its first 16 address bits, so that a lookup starts at
// depth 2 instead of walking the root and a depth-1 node:
//
//   entry s = (a0 << 8) | a1, 16 bytes, 1 MiB per family:
//     node   the depth-2 node below octets a0.a1 (prefixes /17../24 and the
//            nodes below them), or null
//     cover  the record of the longest prefix of length <= 16 covering
//            a0.a1.0.0/16 (from the root or the depth-1 node), or null
//
//   lookup 10.1.2.3 with 10.0.0.0/8 and 10.1.2.0/24 stored:
//     table[10 << 8 | 1] = {node B, cover /8}
//     B covers octet 2 with /24 -> answer; had it not, the answer is /8.
//
// The entries repeat what the tree says, so every write recomputes those of
// its prefix's /16 range from the tree (T1: one entry for a prefix longer
// than /16; T2: 2^(16-L) entries for one of length L <= 16) after changing
// the tree.  A batch changes many entries, and an entry is two words; so
// that a lookup never mixes states, each family's writes run inside a
// sequence window (a seqlock): the writer makes the family's sequence odd
// before it changes the tree or the table and even again after.  A reader
// of the table reads the sequence, the entry and what lies below it, then
// the sequence again; when it was odd or has moved, the reader answers from
// the tree as a family without a table does (the tree alone is consistent
// per address: one store per change).  Readers never wait and never write.
// The table is built when a write leaves kTableMin prefixes in the family
// and dropped (after a grace period) when one leaves fewer than a quarter
// of that or on clear, so small tables cost nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "stride_node.hpp"
#include "netrove/types.hpp"

namespace netrove::index {

// The node ranks are population counts.  The x86-64 baseline has no popcnt
// instruction (a library call per count instead), so the functions that
// count are compiled twice and the loader picks the popcnt build where the
// processor has it.  Not under the sanitizers: their runtimes are not yet
// set up when the loader runs the (instrumented) choosing function.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define NETROVE_NO_CLONES 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define NETROVE_NO_CLONES 1
#endif
#if defined(__x86_64__) && !defined(__POPCNT__) && !defined(NETROVE_NO_CLONES) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define NETROVE_POPCNT_CLONES __attribute__((target_clones("popcnt", "default")))
#endif
#endif
#ifndef NETROVE_POPCNT_CLONES
#define NETROVE_POPCNT_CLONES
#endif

/// One entry of a root table (see "The root table"), and the table.
struct TableEntry {
  std::atomic<const StrideNode*> node{nullptr};
  std::atomic<const Record*> cover{nullptr};
};
struct RootTable {
  TableEntry at[65536];
};
static_assert(sizeof(TableEntry) == 16 && sizeof(RootTable) == (std::size_t{1} << 20));

class ReadIndex {
 public:
  /// Two empty families.
  ReadIndex();
  /// Frees both trees and drops the index's record shares at once, leaving
  /// no node; nothing but the destructor may follow.  No reader may be
  /// running.
  void destroy_now() noexcept;
  ~ReadIndex() { destroy_now(); }
  ReadIndex(const ReadIndex&) = delete;
  ReadIndex& operator=(const ReadIndex&) = delete;

  /// The record of the longest stored prefix of the address's family that
  /// covers `a`, or null; valid until the caller's read section ends.
  /// Takes no lock and writes nothing.
  const Record* lookup(const IpAddress& a) const noexcept;

  /// out[i] = lookup(a[i]) for i < n: the same answers, with the walks of
  /// groups of addresses interleaved so that their cache misses overlap
  /// (batch_walk.cpp).  Each address sees the index before or after a
  /// concurrent write, as lookup does.  Read section held; takes no lock
  /// and writes nothing shared.
  void lookup_many(const IpAddress* a, std::size_t n, const Record** out) const noexcept;
  /// found[i] = (lookup(a[i]) != null), the same walks without reading the
  /// record slots (each walk ends at the first prefix covering its address).
  /// Read section held.
  void contains_many(const IpAddress* a, std::size_t n, bool* found) const noexcept;

  /// Stores `rec` for `p` (host bits ignored), replacing the record of an
  /// equal prefix, and takes one share of `rec`, which must be alive.
  /// Writer lock and a read section held.
  void insert(const IpPrefix& p, Record* rec);
  /// One element of insert_batch.
  struct BatchItem {
    IpPrefix prefix;
    Record* rec;
  };
  /// insert for every items[i], a later item winning over an earlier one
  /// of an equal prefix (whose record is then neither read nor shared, so
  /// it may already be dead), with every node the batch touches built
  /// once and each family's new tree published with one store (see "Batch
  /// insert" above).  Writer lock and a read section held; the winning
  /// records alive.
  void insert_batch(BatchItem* items, std::size_t n);
  /// Drops `p` and the index's share of its record; false when `p` was not
  /// stored.  Writer lock and a read section held.
  bool remove(const IpPrefix& p);
  /// Drops every prefix of both families.  Writer lock held.
  void clear();

  /// Nodes, bytes (node allocations) and prefixes of family index `fam`
  /// (0 IPv4, 1 IPv6).  Writer lock held or no writer running.
  struct Footprint {
    std::size_t nodes = 0, bytes = 0, prefixes = 0;
  };
  Footprint footprint(unsigned fam) const;

  /// Prefixes a family needs for a root table, by default kTableMin; takes
  /// effect at each family's next write.  Process-wide: tests set it to 0
  /// or 1 so that every table, however small, is answered through one.
  static constexpr std::size_t kTableMin = 65536;
  static void set_table_min(std::size_t n) noexcept;

 private:
  static constexpr std::size_t kRetireBatch = 64;
  /// Queues a node unlinked by a write for reclamation.  Writer lock held.
  void retire_node(StrideNode* n);

  /// A family's sequence word, its table and its prefix count, on a line
  /// of their own (readers load the first two on every lookup).
  struct alignas(64) Top {
    std::atomic<std::uint64_t> seq{0};       // odd while a write runs
    std::atomic<RootTable*> table{nullptr};  // null: answer from the tree
    std::size_t prefixes = 0;                // writer lock held
  };
  /// The sequence window of one write to family `fam`, opened for the
  /// guard's life.  Writer lock held.
  void open_window(unsigned fam) noexcept;
  void close_window(unsigned fam) noexcept;
  struct Window {
    ReadIndex& ix;
    unsigned fam;
    Window(ReadIndex& i, unsigned f) noexcept : ix(i), fam(f) { ix.open_window(fam); }
    ~Window() { ix.close_window(fam); }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
  };
  /// After a write to `fam`: builds (whole) or drops its table by its
  /// prefix count; returns the table whose entries the write must
  /// recompute, or null.  Inside the window.
  RootTable* fit_table(unsigned fam);
  /// Unpublishes family fam's table and retires it.  Inside the window.
  void drop_table(unsigned fam);
  /// The entries [from, from + count) of `t` from family fam's tree.
  void fill_entries(unsigned fam, RootTable& t, unsigned from, unsigned count) const noexcept;

  std::atomic<StrideNode*> roots_[2];
  Top top_[2];
  std::vector<StrideNode*>* retiring_ = nullptr;  // unlinked nodes, writer lock held
  std::size_t retiring_bytes_ = 0;                 // their bytes, writer lock held
};

}  // namespace netrove::index
