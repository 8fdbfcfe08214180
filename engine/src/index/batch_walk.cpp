// batch_walk.cpp - ReadIndex::lookup_many and contains_many: the walks of a
// batch of addresses in lock step, every memory access of a walk prefetched
// one pass before it is read, so that the cache misses of many walks are in
// flight together.
//
// Why staged passes
// -----------------
// A walk is a chain of dependent loads: the node header (its bitmaps), the
// child slot its rank points to, the next header, ..., and at the end the
// record slot of the answer.  On the full table (IPv4: 25,398 depth-2 nodes
// in 9.5 MB; IPv6: 37,000 nodes of depth 3 to 5) nearly every header below
// the first level and every record slot is a cache miss of 120-170 ns here,
// while the work between two misses is a few dozen instructions.  A lookup
// alone waits for each miss in turn; the batch walks a group of kGroup (64)
// addresses level by level in two passes per level, each pass touching only
// lines the pass before it prefetched, 64 walks' worth of work earlier:
//
//   group of 64 walks           pass                        prefetches
//   ----------------------      -------------------------   -------------------
//   level 0 (root, cached)      child from the first-level  child's header
//                               table (or the root table)
//   level 1                     kid step on the header      child slot
//                               slot: load child            child's header
//   ...                         (walks without a child
//                                leave the active list)
//   answers                     longest prefix, backtrack   record slot
//   records                     load record slot            the record
//
// A walk steps one level per pair of passes; the active list (the walks
// that found a child) shrinks as walks end, so a pass costs only the walks
// still descending.
//
// Steps without branches.  Whether a node has a child for the next octet,
// where its rank puts the slot, which walks stay active: all of it depends
// on the address, which the branch predictor cannot learn, and a
// mispredicted branch throws away the loads issued after it, the very
// overlap the passes build.  So the steps compute both sides and choose with
// a conditional move (pick below): a walk that ends points its slot at
// kNoChild, a shared null slot, and appends itself to the active
// list only by the count (act[ns] = j; ns += has).
//
// contains_many stops a walk at the first node that covers its octet (any
// covering prefix answers "found"); lookup_many descends to the deepest node
// and backtracks from there as lookup does, the nodes passed being cached.
// The root's children are read into a table once per call, so that the
// first level costs a load instead of a rank per address.
//
// Measured on the full table (901,899 IPv4 and 160,147 IPv6 prefixes), the
// lock-step walk this replaces and this one side by side in one process,
// batches of 256 in alternating samples, medians of 300 per-sample ratios,
// thread CPU time, other builds running on the machine:
//
//                              lookup_many            contains_many
//   M addresses/s             before  after  ratio   before  after  ratio
//   IPv4, in the table          17.4   35.2  2.01x     31.1   54.1  1.75x
//   IPv4, uniformly random      22.3   42.0  1.89x     27.2   70.1  2.59x
//   IPv6, in the table          17.2   23.2  1.35x     20.9   33.0  1.58x
//   IPv6, random in 2000::/3    92.7  120.3  1.29x     93.0  193.6  2.07x
//
// The new walk executes more instructions (callgrind, in-table IPv4: 286
// against 240 per lookup, 199 against 186 per contains) at a much higher
// rate: on a stream of 512 addresses repeated (everything cached) it is
// slower than the old walk (about 0.6x), but on the full table it runs at
// 0.75-0.85x of its own cached speed where the old walk ran at a quarter
// to a third of its own.  What remains is instructions; the costliest single step is the
// rank of the record slot (eleven population counts).
//
// What did not win (side by side, the same harness):
//   - a ring of lanes refilled as walks end (one state-machine step per lane
//     per round), the shape tried before the old lock-step walk: 0.55-0.75x
//     of these passes; its state dispatch is an unpredictable branch per
//     step, and it waited for every record slot without a prefetch;
//   - the same staged passes with branches (if child ... else ...):
//     0.6-0.9x; the mispredictions squash the overlap;
//   - groups of 32, 48 or 96 walks: 0.9-1.0x of 64; 128 or 256: 0.85-0.95x,
//     the lines prefetched for a whole pass no longer fit the 32 KiB L1;
//   - a software-pipelined pass (each slot loaded 32 walks after its
//     prefetch instead of a separate slot pass): 0.85x, the same L1 pressure;
//   - prefetching one or two lines of a header instead of every line it may
//     span: 0.6-0.9x (demand misses on the rest); prefetchnta: no change;
//   - lookups that test "covers" at every level and keep the deepest
//     covering node instead of backtracking: 0.85-0.9x in the table (three
//     tests where one usually answers), 1.1x on random addresses;
//   - backtracking with one branch per walk instead of in rounds over a
//     list: 1.04x in the table, 0.88x on random addresses, where that
//     branch missed about half the time;
//   - the first-level table holding the root's covering bits as well: no gain over
//     computing them per walk.
// Measured and worth keeping in mind: the record-slot rank with AVX-512
// VPOPCNTQ (8 counts in one instruction) makes lookups 1.05-1.07x (1.12x on
// a cached stream); not taken, as it needs a dispatch of its own beside the
// x86-64-v3 clone and a second tested path.  The arena already hands out
// nodes on 2 MiB transparent huge pages (node_arena.hpp).  A node layout
// aligned to 64 bytes would keep every 96-byte header on two lines (a
// quarter of them span three today); that is the writers' side.
#include "read_index.hpp"

#include <algorithm>

#include "sync/panic.hpp"

namespace netrove::index {

// The walk needs popcnt, lzcnt, bzhi and shrx; x86-64-v3 has all four, the
// baseline none (a library call per count there).
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(NETROVE_NO_CLONES)
#define NETROVE_WALK_CLONES __attribute__((target_clones("arch=x86-64-v3", "popcnt", "default")))
#else
#define NETROVE_WALK_CLONES NETROVE_POPCNT_CLONES
#endif

namespace {

/// Walks interleaved per group (see "What did not win" for larger groups).
constexpr unsigned kGroup = 64;

/// c ? x : y, chosen with a conditional move, not a branch (the compiler
/// turns the plain ternary into a branch here).
template <class T>
[[gnu::always_inline]] inline T pick(unsigned c, T x, T y) noexcept {
  static_assert(sizeof(T) == 8 || sizeof(T) == 4);
#if defined(__x86_64__)
  asm("test %1, %1\n\tcmovnz %2, %0" : "+r"(y) : "r"(c), "r"(x) : "cc");
  return y;
#else
  return c ? x : y;
#endif
}

/// The null slot that walks without a child read instead.
const std::atomic<StrideNode*> kNoChild{nullptr};
/// The node that walks without a depth-2 node stand on: no child, no prefix.
const StrideNode kEmptyNode{};

/// kRankMask.m[q][w] = all ones for w < q, else 0: the words wholly below
/// word q of a bitmap, for a rank without a loop.
struct alignas(64) RankMasks {
  std::uint64_t m[8][8];
};
constexpr RankMasks make_rank_masks() noexcept {
  RankMasks r{};
  for (unsigned q = 0; q < 8; ++q)
    for (unsigned w = 0; w < 8; ++w) r.m[q][w] = w < q ? ~std::uint64_t{0} : 0;
  return r;
}
constexpr RankMasks kRankMask = make_rank_masks();

/// Bits of `word` below position s (0..63).
[[gnu::always_inline]] inline std::uint64_t below(std::uint64_t word, unsigned s) noexcept {
  return word & ((std::uint64_t{1} << s) - 1);
}

/// Prefetches every line of n's 96-byte header: from a 16-byte boundary it
/// spans two lines, or three when it starts 48 bytes into one.
[[gnu::always_inline]] inline void prefetch_header(const StrideNode* n) noexcept {
  const char* p = reinterpret_cast<const char*>(n);
  __builtin_prefetch(p);
  __builtin_prefetch(p + 64);
  __builtin_prefetch(p + 95);
}

/// The slot of n's child for octet b, or &kNoChild when there is none or
/// `may` is 0.  Reads the kid bitmap only.
[[gnu::always_inline]] inline const std::atomic<StrideNode*>* kid_slot(const StrideNode* n, unsigned b, unsigned may,
                                                                      unsigned& has) noexcept {
  const std::uint64_t* k = n->kids;
  const unsigned q = b >> 6, s = b & 63;
  const std::uint64_t kq = k[q];
  const std::uint64_t* m = kRankMask.m[q];
  has = (static_cast<unsigned>(kq >> s) & 1u) & may;
  const unsigned r = static_cast<unsigned>(__builtin_popcountll(below(kq, s)) + __builtin_popcountll(k[0] & m[0]) +
                                           __builtin_popcountll(k[1] & m[1]) + __builtin_popcountll(k[2] & m[2]));
  return pick(has, n->child_slots() + r, &kNoChild);
}

/// 1 when some prefix of n covers octet b (StrideNode::longest(b) != 0),
/// every case at once: local lengths 8, 7 and 6 are one bit each, 0..5 the
/// covering bitmap of word 0.
[[gnu::always_inline]] inline unsigned covers(const StrideNode* n, unsigned b) noexcept {
  const std::uint64_t* p = n->prefixes;
  const std::uint64_t w = (p[4 + (b >> 6)] >> (b & 63)) | (p[2 + (b >> 7)] >> ((b >> 1) & 63)) | (p[1] >> (b >> 2));
  return static_cast<unsigned>(w & 1) | static_cast<unsigned>((p[0] & kCover.word0[b >> 2]) != 0);
}

/// StrideNode::longest(b) without branches: its four cases computed
/// together, the longest kept.
[[gnu::always_inline]] inline unsigned longest(const StrideNode* n, unsigned b) noexcept {
  const std::uint64_t* p = n->prefixes;
  // 4. Local lengths 0..5: the highest bit of word 0 covering b; bit 0 is
  // never set, so `| 1` makes "none" come out as 0.
  unsigned idx = 63u - static_cast<unsigned>(__builtin_clzll((p[0] & kCover.word0[b >> 2]) | 1));
  idx = pick(static_cast<unsigned>(p[1] >> (b >> 2)) & 1u, 64u + (b >> 2), idx);                  // 3.
  idx = pick(static_cast<unsigned>(p[2 + (b >> 7)] >> ((b >> 1) & 63)) & 1u, 128u + (b >> 1), idx);  // 2.
  return pick(static_cast<unsigned>(p[4 + (b >> 6)] >> (b & 63)) & 1u, 256u + b, idx);             // 1.
}

/// The record slot of the prefix at base index i of n (its bit set).
/// Reads both bitmaps: the record slots follow the child slots.
[[gnu::always_inline]] inline const std::atomic<Record*>* record_slot(const StrideNode* n, unsigned i) noexcept {
  const std::uint64_t* k = n->kids;
  const std::uint64_t* p = n->prefixes;
  const std::uint64_t* m = kRankMask.m[i >> 6];
  unsigned r = static_cast<unsigned>(__builtin_popcountll(k[0]) + __builtin_popcountll(k[1]) +
                                     __builtin_popcountll(k[2]) + __builtin_popcountll(k[3]));
  r += static_cast<unsigned>(__builtin_popcountll(below(p[i >> 6], i & 63)));
  for (unsigned w = 0; w < 7; ++w) r += static_cast<unsigned>(__builtin_popcountll(p[w] & m[w]));
  return reinterpret_cast<const std::atomic<Record*>*>(n->child_slots()) + r;
}

/// What a walk group produces: found flags (contains_many) or records.
enum class Answer { found, record };
/// The families in a group: all IPv4, all IPv6 (then the deepest depth is
/// a constant), or both.
enum class Families { v4, v6, mixed };

/// The root of each family as the first level of every walk of one call:
/// its child for each first octet, read from its slots once per call
/// instead of ranked once per address.  An octet without a child maps to
/// the root itself (the walk does not go there; the prefetch of it is
/// harmless).  Built only for calls of at least kFirstLevelMin addresses:
/// filling 256 entries costs about what 20 root steps cost.
constexpr std::size_t kFirstLevelMin = 32;
struct RootLevel {
  const StrideNode* kid[256];

  /// Reads `r`'s child slots (acquire) into kid.  Read section held.
  [[gnu::always_inline]] inline void read(const StrideNode* r) noexcept {
    std::fill(kid, kid + 256, r);
    const std::atomic<StrideNode*>* slots = r->child_slots();
    unsigned rank = 0;
    for (unsigned w = 0; w < 4; ++w)
      for (std::uint64_t bits = r->kids[w]; bits; bits &= bits - 1)
        kid[w * 64 + static_cast<unsigned>(__builtin_ctzll(bits))] = slots[rank++].load(std::memory_order_acquire);
  }
};

/// The walks of one group of m <= kGroup addresses (see the drawing above),
/// numbered as in the code:
///   1. start every walk at its family's root (cached): with first-level tables,
///      take each walk's child from its table and prefetch its header (the
///      root's kid step done for the whole call); else step from the root
///      like any node (2 and 3 at depth 0);
///   2. per level, the kid-step pass: the header of each active walk's node
///      was prefetched; find the child slot, prefetch it, keep the walk
///      active if it has one (contains: only while nothing covered it yet);
///   3. the slot pass: load each active walk's child, prefetch its header;
///   4. answers: contains has them; lookup takes the longest prefix of the
///      deepest node, backtracking to shallower ones (cached) while there is
///      none, in rounds over a list of the walks still without one, and for
///      the walks that found one prefetches its record slot (a list by
///      count again: the rank is the costliest step, and a miss needs none);
///   5. lookup: load the record slots, prefetch the records.
/// `levels` are the families' first-level tables or null.  With `table` (the
/// family's root table, one family in the group), step 1 instead reads
/// each walk's table entry (all prefetched first): its depth-2 node starts
/// the walk, which backtracks no higher than depth 2, and the entry's cover
/// answers a walk that finds nothing below it.  Read section held by the
/// caller.
template <Answer A, Families F>
[[gnu::always_inline]] inline void walk_group(const StrideNode* const roots[2], const RootLevel* levels,
                                              const RootTable* table, const IpAddress* x, unsigned m,
                                              bool* found, const Record** out) noexcept {
  NETROVE_ASSERT(m >= 1 && m <= kGroup);
  const StrideNode* path[16][kGroup];  // path[d][j]: walk j's node at depth d
  const void* slot[kGroup];            // the slot each walk reads next
  unsigned depth[kGroup], last[kGroup], act[kGroup];
  unsigned cov[kGroup];                // contains: covered so far
  const Record* cover[kGroup];         // with a table: the answer above depth 2
  const unsigned top = table ? 2u : 0u;  // the shallowest depth a walk backtracks to
  // The deepest depth of walk j's family: its nodes have no child.
  auto deepest = [&](unsigned j) -> unsigned {
    if constexpr (F == Families::v4) return 3;
    else if constexpr (F == Families::v6) return 15;
    else return last[j];
  };
  // 1.
  unsigned active = 0, d = 0;
  if (table) {
    auto entry = [&](unsigned j) -> const TableEntry& {
      return table->at[(unsigned{x[j].bytes[0]} << 8) | x[j].bytes[1]];
    };
    for (unsigned j = 0; j < m; ++j) __builtin_prefetch(&entry(j));
    for (unsigned j = 0; j < m; ++j) {
      const TableEntry& e = entry(j);
      const StrideNode* n = e.node.load(std::memory_order_acquire);
      cover[j] = e.cover.load(std::memory_order_acquire);
      unsigned has = n != nullptr;
      path[2][j] = pick(has, n, &kEmptyNode);
      depth[j] = 2;
      if constexpr (A == Answer::found) {
        cov[j] = cover[j] != nullptr;
        has &= cov[j] ^ 1u;
      } else {
        __builtin_prefetch(cover[j]);
      }
      prefetch_header(path[2][j]);
      act[active] = j;
      active += has;
    }
    d = 2;
  }
  for (unsigned j = 0; j < m && !table; ++j) {
    const unsigned v6 = F == Families::mixed ? (x[j].family == kIpv4 ? 0u : 1u) : F == Families::v6;
    const StrideNode* r = roots[v6];
    path[0][j] = r;
    if constexpr (F == Families::mixed) last[j] = v6 ? 15u : 3u;
    cov[j] = 0;
    depth[j] = 0;
    if (levels) {
      const unsigned b = x[j].bytes[0];
      unsigned has = static_cast<unsigned>(r->kids[b >> 6] >> (b & 63)) & 1u;
      if constexpr (A == Answer::found) {
        cov[j] = covers(r, b);
        has &= cov[j] ^ 1u;
      }
      const StrideNode* c = levels[v6].kid[b];
      path[1][j] = c;
      prefetch_header(c);
      act[active] = j;
      active += has;
    } else {
      act[active++] = j;
    }
  }
  if (levels && !table) d = 1;
  for (; active; ++d) {
    // 2.
    unsigned next = 0;
    for (unsigned t = 0; t < active; ++t) {
      const unsigned j = act[t];
      const StrideNode* n = path[d][j];
      const unsigned b = x[j].bytes[d];
      unsigned may = d != deepest(j);
      if constexpr (A == Answer::found) {
        cov[j] = covers(n, b);
        may &= cov[j] ^ 1u;
      }
      unsigned has;
      const std::atomic<StrideNode*>* s = kid_slot(n, b, may, has);
      __builtin_prefetch(s);
      slot[j] = s;
      depth[j] = d;
      act[next] = j;  // next <= t: overwrites only entries already read
      next += has;
    }
    // 3.
    for (unsigned t = 0; t < next; ++t) {
      const unsigned j = act[t];
      const StrideNode* c = static_cast<const std::atomic<StrideNode*>*>(slot[j])->load(std::memory_order_acquire);
      path[d + 1][j] = c;
      prefetch_header(c);
    }
    active = next;
  }
  // 4.
  if constexpr (A == Answer::found) {
    for (unsigned j = 0; j < m; ++j) found[j] = cov[j] != 0;
  } else {
    // The answering node and base index of walk j go to slot[j] and
    // idx[j]; `hit` lists the walks with an answer, `act` those that must
    // look one level higher (their node has none and they are not at the
    // root), both by count: a branch on it would miss about half the time
    // on addresses outside the table.
    unsigned idx[kGroup], hit[kGroup];
    unsigned hits = 0, up = 0;
    for (unsigned j = 0; j < m; ++j) {
      const unsigned dj = depth[j];
      const StrideNode* n = path[dj][j];
      const unsigned i = longest(n, x[j].bytes[dj]);
      out[j] = nullptr;
      slot[j] = n;
      idx[j] = i;
      hit[hits] = j;
      hits += i != 0;
      act[up] = j;
      up += (i == 0) & (dj > top);
    }
    while (up) {  // backtrack one level per round (the nodes passed are cached)
      unsigned more = 0;
      for (unsigned t = 0; t < up; ++t) {
        const unsigned j = act[t];
        const unsigned dj = --depth[j];
        const StrideNode* n = path[dj][j];
        const unsigned i = longest(n, x[j].bytes[dj]);
        slot[j] = n;
        idx[j] = i;
        hit[hits] = j;
        hits += i != 0;
        act[more] = j;
        more += (i == 0) & (dj > top);
      }
      up = more;
    }
    for (unsigned t = 0; t < hits; ++t) {
      const unsigned j = hit[t];
      const std::atomic<Record*>* s = record_slot(static_cast<const StrideNode*>(slot[j]), idx[j]);
      __builtin_prefetch(s);
      slot[j] = s;
    }
    // 5.  And prefetch each record: the caller reads it next (a share's
    // count, a visitor's fields), and a large table's records miss too.
    for (unsigned t = 0; t < hits; ++t) {
      const unsigned j = hit[t];
      const Record* r = static_cast<const std::atomic<Record*>*>(slot[j])->load(std::memory_order_acquire);
      __builtin_prefetch(r);
      out[j] = r;
    }
    if (table)
      for (unsigned j = 0; j < m; ++j) out[j] = pick(out[j] == nullptr, cover[j], out[j]);
  }
}

/// A family's root table and the sequence word that says whether a write
/// is changing it (see "The root table" in read_index.hpp).
struct TableRef {
  const std::atomic<std::uint64_t>* seq;
  const std::atomic<RootTable*>* table;
};

/// The walks of a call in groups of kGroup: the roots read once (as lookup
/// reads them once per address: a walk may then see a root that a write
/// has just replaced, i.e. the index before that write), their tables
/// read when the call is large enough, each group walked with its
/// families known when it has one.
template <Answer A>
[[gnu::always_inline]] inline void walk_all(const std::atomic<StrideNode*>* root_slots, const TableRef* tops,
                                            const IpAddress* a, std::size_t n, bool* found,
                                            const Record** out) noexcept {
  const StrideNode* const roots[2] = {root_slots[0].load(std::memory_order_acquire),
                                      root_slots[1].load(std::memory_order_acquire)};
  RootLevel levels[2];
  bool read[2] = {false, false};
  const bool tables = n >= kFirstLevelMin;
  for (std::size_t base = 0; base < n; base += kGroup) {
    const auto m = static_cast<unsigned>(std::min<std::size_t>(kGroup, n - base));
    const IpAddress* x = a + base;
    unsigned v4 = 0, v6 = 0;
    for (unsigned j = 0; j < m; ++j) {
      const unsigned six = x[j].family == kIpv4 ? 0u : 1u;
      v4 |= six ^ 1u;
      v6 |= six;
    }
    // The first-level tables of the group's families, read on first need.
    auto first_level = [&]() -> const RootLevel* {
      if (!tables) return nullptr;
      if (v4 && !read[0]) levels[0].read(roots[0]), read[0] = true;
      if (v6 && !read[1]) levels[1].read(roots[1]), read[1] = true;
      return levels;
    };
    bool* f = A == Answer::found ? found + base : nullptr;
    const Record** o = A == Answer::record ? out + base : nullptr;
    if (v4 && v6) {
      walk_group<A, Families::mixed>(roots, first_level(), nullptr, x, m, f, o);
      continue;
    }
    // One family: from its root table when it has one and no write is
    // changing it; walked again from the tree when a write ran meanwhile.
    const TableRef& t = tops[v6];
    const std::uint64_t seq = t.seq->load(std::memory_order_acquire);
    const RootTable* table = (seq & 1) == 0 ? t.table->load(std::memory_order_acquire) : nullptr;
    for (;;) {
      const RootLevel* lv = table ? nullptr : first_level();
      if (v6) walk_group<A, Families::v6>(roots, lv, table, x, m, f, o);
      else walk_group<A, Families::v4>(roots, lv, table, x, m, f, o);
      if (!table) break;
      std::atomic_thread_fence(std::memory_order_acquire);
      if (t.seq->load(std::memory_order_relaxed) == seq) break;
      table = nullptr;
    }
  }
}

/// The tree's answer for `a` from `n`, its node at depth `d` on a's path,
/// as in "A lookup" (read_index.hpp): descend, then backtrack no higher
/// than `d`, with the walks' steps above (no branch inside a node's
/// bitmaps, which would be mispredicted and cut short the overlap of
/// independent lookups).  Read section held.
[[gnu::always_inline]] inline const Record* descend(const StrideNode* n, unsigned d, const IpAddress& a) noexcept {
  const unsigned top = d, last = a.family == kIpv4 ? 3u : 15u;  // deepest node depth of the family
  const std::uint8_t* o = a.bytes.data();
  const StrideNode* path[16];
  // 1. Descend.
  for (;;) {
    path[d] = n;
    unsigned has;
    const std::atomic<StrideNode*>* s = kid_slot(n, o[d], d != last, has);
    if (!has) break;
    n = s->load(std::memory_order_acquire);
    ++d;
  }
  // 2. Backtrack.
  for (;;) {
    if (const unsigned i = longest(path[d], o[d])) return record_slot(path[d], i)->load(std::memory_order_acquire);
    if (d == top) return nullptr;
    --d;
  }
}

/// descend(n, 2, a) for IPv4, unrolled: n covers octet b2 (prefixes /17../24)
/// and its child, if any, octet b3 (/25../32), the deepest depth.  Half the
/// instructions of the loop, so that more independent lookups fit in the
/// processor's window at once.
[[gnu::always_inline]] inline const Record* below_v4(const StrideNode* n, unsigned b2, unsigned b3) noexcept {
  unsigned has;
  const std::atomic<StrideNode*>* s = kid_slot(n, b2, 1, has);
  if (has) {
    const StrideNode* c = s->load(std::memory_order_acquire);
    if (const unsigned i = longest(c, b3)) return record_slot(c, i)->load(std::memory_order_acquire);
  }
  const unsigned i = longest(n, b2);
  return i ? record_slot(n, i)->load(std::memory_order_acquire) : nullptr;
}

}  // namespace

NETROVE_WALK_CLONES const Record* ReadIndex::lookup(const IpAddress& a) const noexcept {
  const unsigned fam = a.family == kIpv4 ? 0u : 1u;
  const Top& t = top_[fam];
  // The table's answer, kept only when no write ran meanwhile (the
  // sequence even and unchanged; see "The root table").
  const std::uint64_t seq = t.seq.load(std::memory_order_acquire);
  if (const RootTable* table = t.table.load(std::memory_order_acquire); table && (seq & 1) == 0) {
    const TableEntry& e = table->at[(unsigned{a.bytes[0]} << 8) | a.bytes[1]];
    const StrideNode* n = e.node.load(std::memory_order_acquire);
    const Record* r = n ? (fam == 0 ? below_v4(n, a.bytes[2], a.bytes[3]) : descend(n, 2, a)) : nullptr;
    if (!r) r = e.cover.load(std::memory_order_acquire);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (t.seq.load(std::memory_order_relaxed) == seq) return r;
  }
  return descend(roots_[fam].load(std::memory_order_acquire), 0, a);
}

NETROVE_WALK_CLONES void ReadIndex::lookup_many(const IpAddress* a, std::size_t n, const Record** out) const noexcept {
  const TableRef tops[2] = {{&top_[0].seq, &top_[0].table}, {&top_[1].seq, &top_[1].table}};
  walk_all<Answer::record>(roots_, tops, a, n, nullptr, out);
}

NETROVE_WALK_CLONES void ReadIndex::contains_many(const IpAddress* a, std::size_t n, bool* found) const noexcept {
  const TableRef tops[2] = {{&top_[0].seq, &top_[0].table}, {&top_[1].seq, &top_[1].table}};
  walk_all<Answer::found>(roots_, tops, a, n, found, nullptr);
}

}  // namespace netrove::index
