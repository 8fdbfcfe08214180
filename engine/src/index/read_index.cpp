// ReadIndex writers: nodes built aside and published with one store; the
// drawings and case lists are in read_index.hpp.
#include "read_index.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

#include "sync/rcu.hpp"
#include "node_arena.hpp"
#include "sync/panic.hpp"

namespace netrove::index {

namespace {

/// Where a prefix lives: node depth, base index, and its network octets.
struct Place {
  unsigned fam;
  unsigned depth;
  unsigned idx;
  std::array<std::uint8_t, 16> net;
};

Place place_of(const IpPrefix& p) noexcept {
  Place pl;
  pl.fam = p.family == kIpv4 ? 0u : 1u;
  pl.net = p.network_address();
  const unsigned len = p.length;
  pl.depth = len == 0 ? 0u : (len - 1u) / 8u;
  pl.idx = base_index(pl.net[pl.depth], len - 8u * pl.depth);
  return pl;
}

/// One change to a node being rebuilt: a child (set, or dropped when the
/// new pointer is null) and/or a prefix (likewise).  -1: no change.
struct Edit {
  int kid = -1;
  StrideNode* kid_to = nullptr;
  int prefix = -1;
  Record* rec_to = nullptr;
};

void set_bit(std::uint64_t* words, unsigned pos, bool on) noexcept {
  const std::uint64_t m = std::uint64_t{1} << (pos & 63);
  if (on) words[pos >> 6] |= m;
  else words[pos >> 6] &= ~m;
}

/// Copies the `old_n` slots of `from` (laid out by `old_bits`) to
/// `to` (laid out by `new_bits`); the two bitmaps differ at most in `pos`,
/// whose slot, when set in new_bits, gets `value`.  The slots on either side
/// of `pos` keep their order, so the copy is at most two block moves:
///   1. no edit, or pos in both (a replaced value): one move, then the slot;
///   2. pos only in new_bits (added): [0, r) moves, slot r is the value,
///      [r, old_n) moves one slot up;
///   3. pos only in old_bits (dropped): [0, r) moves, [r + 1, old_n) moves
///      one slot down.
/// `from` belongs to a published node, which only the writer (the caller)
/// changes, so a byte copy reads settled values.
template <class T>
[[gnu::always_inline]] inline void copy_slots(const std::uint64_t* old_bits, const std::atomic<T*>* from,
                                              unsigned old_n, const std::uint64_t* new_bits, std::atomic<T*>* to,
                                              int pos, T* value) {
  static_assert(sizeof(std::atomic<T*>) == sizeof(T*));
  auto move = [&](unsigned dst, unsigned src, unsigned count) {
    if (count) std::memcpy(static_cast<void*>(to + dst), static_cast<const void*>(from + src), count * sizeof(T*));
  };
  const bool was = pos >= 0 && StrideNode::test(old_bits, static_cast<unsigned>(pos));
  const bool is = pos >= 0 && StrideNode::test(new_bits, static_cast<unsigned>(pos));
  if (was == is) {  // 1
    move(0, 0, old_n);
    if (is) to[StrideNode::rank(new_bits, static_cast<unsigned>(pos))].store(value, std::memory_order_relaxed);
    return;
  }
  const unsigned r = StrideNode::rank(is ? new_bits : old_bits, static_cast<unsigned>(pos));
  move(0, 0, r);
  if (is) {  // 2
    ::new (&to[r]) std::atomic<T*>(value);
    move(r + 1, r, old_n - r);
  } else {  // 3
    move(r, r + 1, old_n - r - 1);
  }
}

/// A new unpublished node: `old`'s bitmaps and slots (none when null) with
/// `e` applied.  Record shares move from `old` to the new node; `old` itself
/// is left as it was, for readers still inside it.
NETROVE_POPCNT_CLONES StrideNode* rebuild(const StrideNode* old, const Edit& e) {
  static const StrideNode kEmpty{};
  if (!old) old = &kEmpty;
  StrideNode head = *old;
  if (e.kid >= 0) set_bit(head.kids, static_cast<unsigned>(e.kid), e.kid_to != nullptr);
  if (e.prefix >= 0) set_bit(head.prefixes, static_cast<unsigned>(e.prefix), e.rec_to != nullptr);
  const unsigned nk = head.kid_count(), np = head.prefix_count();
  void* mem = arena_allocate(StrideNode::bytes_for(nk, np));
  auto* n = ::new (mem) StrideNode(head);
  copy_slots(old->kids, old->child_slots(), old->kid_count(), head.kids, n->child_slots(), e.kid, e.kid_to);
  copy_slots(old->prefixes, old->record_slots(), old->prefix_count(), head.prefixes, n->record_slots(), e.prefix,
             e.rec_to);
  return n;
}

/// Frees one node; its children and records live on elsewhere.
// (The popcnt build where there is one: a reclamation pass frees one node
// per node a write replaced.)
NETROVE_POPCNT_CLONES void free_node(StrideNode* n) noexcept {
  arena_free(n, StrideNode::bytes_for(n->kid_count(), n->prefix_count()));
}

/// Frees a whole unreachable tree and drops its record shares.
void free_deep(StrideNode* n) noexcept {
  const unsigned nk = n->kid_count(), np = n->prefix_count();
  for (unsigned i = 0; i < nk; ++i) free_deep(n->child_slots()[i].load(std::memory_order_relaxed));
  for (unsigned i = 0; i < np; ++i) trie::release(n->record_slots()[i].load(std::memory_order_relaxed));
  free_node(n);
}


// The helpers below are inlined into their (popcnt-cloned) callers, so that
// their ranks count with the popcnt instruction where there is one, not a
// library call.
[[gnu::always_inline]] inline StrideNode* mutable_child(StrideNode* n, unsigned b) noexcept {
  return StrideNode::test(n->kids, b) ? n->child_slots()[StrideNode::rank(n->kids, b)].load(std::memory_order_relaxed)
                                      : nullptr;
}

/// Walks from the root of pl.fam towards pl.depth; path[0..d] are the nodes
/// passed.  Returns d (pl.depth when the prefix's node exists).
[[gnu::always_inline]] inline unsigned walk(const std::atomic<StrideNode*>& root, const Place& pl,
                                            StrideNode** path) noexcept {
  unsigned d = 0;
  path[0] = root.load(std::memory_order_relaxed);
  while (d < pl.depth) {
    StrideNode* c = mutable_child(path[d], pl.net[d]);
    if (!c) break;
    path[++d] = c;
  }
  return d;
}

void walk_footprint(const StrideNode* n, ReadIndex::Footprint& f) {
  const unsigned nk = n->kid_count(), np = n->prefix_count();
  ++f.nodes;
  f.bytes += StrideNode::bytes_for(nk, np);
  f.prefixes += np;
  for (unsigned i = 0; i < nk; ++i) walk_footprint(n->child_slots()[i].load(std::memory_order_relaxed), f);
}

}  // namespace

/// Makes `fresh` the node at depth d of pl's path: one release store into
/// the parent's child slot, or into the family's root.
[[gnu::always_inline]] static inline void publish(std::atomic<StrideNode*>& root, StrideNode** path, unsigned d,
                                                  const Place& pl, StrideNode* fresh) noexcept {
  if (d == 0) {
    root.store(fresh, std::memory_order_release);
    return;
  }
  StrideNode* parent = path[d - 1];
  parent->child_slots()[StrideNode::rank(parent->kids, pl.net[d - 1])].store(fresh, std::memory_order_release);
}


/// The table entries a prefix decides (T1, T2 in read_index.hpp): the /16
/// holding it when it is longer than /16, else every /16 inside it.
namespace {
struct Slots {
  unsigned from, count;
};
Slots slots_of(const Place& pl, unsigned len) noexcept {
  const unsigned s = (unsigned{pl.net[0]} << 8) | pl.net[1];  // host bits are zero
  return len >= 16 ? Slots{s, 1} : Slots{s, 1u << (16 - len)};
}

std::atomic<std::size_t> g_table_min{ReadIndex::kTableMin};
}  // namespace

void ReadIndex::set_table_min(std::size_t n) noexcept { g_table_min.store(n, std::memory_order_relaxed); }

void ReadIndex::open_window(unsigned fam) noexcept {
  auto& seq = top_[fam].seq;
  seq.store(seq.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  // Orders the odd value before every store of the write: a reader that
  // sees any of them sees the sequence moved when it reads it again.
  std::atomic_thread_fence(std::memory_order_release);
}

void ReadIndex::close_window(unsigned fam) noexcept {
  auto& seq = top_[fam].seq;
  seq.store(seq.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

NETROVE_POPCNT_CLONES void ReadIndex::fill_entries(unsigned fam, RootTable& t, unsigned from,
                                                   unsigned count) const noexcept {
  StrideNode* const root = roots_[fam].load(std::memory_order_relaxed);
  for (unsigned s = from; s < from + count; ++s) {
    const unsigned b0 = s >> 8, b1 = s & 255;
    StrideNode* const n1 = mutable_child(root, b0);
    const StrideNode* node = nullptr;
    const Record* cover = nullptr;
    if (n1) {
      node = mutable_child(n1, b1);
      if (const unsigned i = n1->longest(b1)) cover = n1->record_at(i);
    }
    if (!cover)
      if (const unsigned i = root->longest(b0)) cover = root->record_at(i);
    t.at[s].node.store(node, std::memory_order_release);
    t.at[s].cover.store(cover, std::memory_order_release);
  }
}

RootTable* ReadIndex::fit_table(unsigned fam) {
  Top& t = top_[fam];
  RootTable* table = t.table.load(std::memory_order_relaxed);
  const std::size_t min = g_table_min.load(std::memory_order_relaxed);
  if (!table && t.prefixes >= min) {
    // Built whole before it is published; without memory, lookups go on
    // answering from the tree.
    table = new (std::nothrow) RootTable;
    if (!table) return nullptr;
    fill_entries(fam, *table, 0, 65536);
    t.table.store(table, std::memory_order_release);
    return nullptr;
  }
  if (table && t.prefixes < min / 4) {
    drop_table(fam);
    return nullptr;
  }
  return table;
}

void ReadIndex::drop_table(unsigned fam) {
  if (RootTable* table = top_[fam].table.exchange(nullptr, std::memory_order_relaxed))
    rcu::retire(table, [](void* p) { delete static_cast<RootTable*>(p); }, sizeof(RootTable) / 64);
}

// lookup, lookup_many and contains_many: batch_walk.cpp.

NETROVE_POPCNT_CLONES void ReadIndex::retire_node(StrideNode* n) {
  // Replaced nodes go to reclamation in batches: one grace-period request
  // per kRetireBatch nodes instead of one per write.
  if (!retiring_) {
    retiring_ = new std::vector<StrideNode*>;
    retiring_->reserve(kRetireBatch);
  }
  retiring_->push_back(n);
  retiring_bytes_ += StrideNode::bytes_for(n->kid_count(), n->prefix_count());
  if (retiring_->size() < kRetireBatch) return;
  // Weighed by cache lines, not nodes: nodes of a few hundred slots waiting
  // by the thousand would be megabytes that every new node's copy writes to
  // fresh, uncached memory; so large nodes are reclaimed (and their blocks
  // reused while still cached) correspondingly sooner.
  rcu::retire(
      retiring_,
      [](void* p) {
        auto* batch = static_cast<std::vector<StrideNode*>*>(p);
        for (StrideNode* x : *batch) free_node(x);
        delete batch;
      },
      std::max<std::size_t>(retiring_->size(), retiring_bytes_ / 64));
  retiring_ = nullptr;
  retiring_bytes_ = 0;
}

ReadIndex::ReadIndex() {
  for (auto& r : roots_) r.store(rebuild(nullptr, {}), std::memory_order_relaxed);
}

void ReadIndex::destroy_now() noexcept {
  for (auto& t : top_) delete t.table.exchange(nullptr, std::memory_order_relaxed);
  for (auto& r : roots_)
    if (StrideNode* n = r.exchange(nullptr, std::memory_order_relaxed)) free_deep(n);
  if (retiring_) {
    for (StrideNode* n : *retiring_) free_node(n);  // no reader is left
    delete retiring_;
    retiring_ = nullptr;
  }
}

NETROVE_POPCNT_CLONES void ReadIndex::insert(const IpPrefix& p, Record* rec) {
  const bool shared = trie::try_share(rec);
  NETROVE_ASSERT(shared);
  (void)shared;
  const Place pl = place_of(p);
  Window w(*this, pl.fam);
  auto& root = roots_[pl.fam];
  StrideNode* path[16];
  const unsigned d = walk(root, pl, path);
  StrideNode* n = path[d];
  if (d == pl.depth && StrideNode::test(n->prefixes, pl.idx)) {
    // I1. Present: replace the record in its slot.
    auto& slot = n->record_slots()[StrideNode::rank(n->prefixes, pl.idx)];
    trie::release(slot.exchange(rec, std::memory_order_acq_rel));
  } else if (d == pl.depth) {
    // I2. The node exists: again with one more prefix.
    publish(root, path, d, pl, rebuild(n, {.prefix = static_cast<int>(pl.idx), .rec_to = rec}));
    retire_node(n);
    ++top_[pl.fam].prefixes;
  } else {
    // I3. Build the missing nodes d+1 .. depth bottom up, then node d again
    // with the new child.
    StrideNode* below = rebuild(nullptr, {.prefix = static_cast<int>(pl.idx), .rec_to = rec});
    for (unsigned k = pl.depth; k-- > d + 1;) below = rebuild(nullptr, {.kid = pl.net[k], .kid_to = below});
    publish(root, path, d, pl, rebuild(n, {.kid = pl.net[d], .kid_to = below}));
    retire_node(n);
    ++top_[pl.fam].prefixes;
  }
  if (RootTable* t = fit_table(pl.fam)) {
    const Slots s = slots_of(pl, p.length);
    fill_entries(pl.fam, *t, s.from, s.count);
  }
}

namespace {

// The merge of one slot array (child or record slots) of a node being
// rebuilt: old slots [oi, end) go to the new node at ni in one block move,
// between them new slots are placed one by one.  The new node is not
// published yet, so plain byte copies of the atomics are safe.
template <class Slot>
struct SlotMerge {
  const Slot* from;
  Slot* to;
  unsigned oi = 0, ni = 0;

  void move_old_to(unsigned end) {
    if (end > oi) std::memcpy(static_cast<void*>(to + ni), static_cast<const void*>(from + oi), (end - oi) * sizeof(Slot));
    ni += end - oi;
    oi = end;
  }
  /// The old slot at oi, which the new one replaces.
  auto take_old() { return from[oi++].load(std::memory_order_relaxed); }
  template <class T>
  void put_new(T value) { ::new (&to[ni++]) Slot(value); }
};

/// A batch item with its place and its position in the batch.
struct Placed {
  Place pl;
  Record* rec;
  std::size_t order;
};

/// What a batch replaced: released or retired only once the new tree is
/// published, since until then readers still reach it.
struct Replaced {
  std::vector<StrideNode*> nodes;
  std::vector<Record*> records;
};

/// A node's own items and its children's runs, in order.
struct Run {
  unsigned octet;
  Placed *b, *e;
};

/// The working lists of one batch, used as stacks by the recursion of
/// merge (each level pushes its entries on top and pops them when done),
/// so that rebuilding a node allocates nothing but the node.
struct Scratch {
  std::vector<std::pair<unsigned, Record*>> own;
  Record* by_index[512];  // one node's own records by base index, while they are put in order
  std::vector<Run> runs;
  std::vector<StrideNode*> built;
  Replaced replaced;
};

/// insert_batch below one node: the node at depth `d` (null when it does
/// not exist yet) built again with the sorted items [b, e), all under it.
NETROVE_POPCNT_CLONES StrideNode* merge(const StrideNode* old, unsigned d, Placed* b, Placed* e, Scratch& sc) {
  static const StrideNode kEmpty{};
  const StrideNode& from = old ? *old : kEmpty;
  StrideNode head = from;
  // Own prefixes (their depth is d) in base-index order, and the runs of
  // items under each child octet, in octet order.  An own item sorts
  // before every deeper item of its octet (its later octets are zero), so
  // own items never split a run.
  const std::size_t own0 = sc.own.size(), runs0 = sc.runs.size();
  std::uint64_t own_bits[8] = {};
  for (Placed* i = b; i != e; ++i) {
    NETROVE_ASSERT(i->pl.depth >= d);
    if (i->pl.depth == d) {
      NETROVE_ASSERT(!StrideNode::test(own_bits, i->pl.idx));  // equal prefixes were dropped
      sc.by_index[i->pl.idx] = i->rec;
      set_bit(own_bits, i->pl.idx, true);
      set_bit(head.prefixes, i->pl.idx, true);
      continue;
    }
    const unsigned octet = i->pl.net[d];
    if (sc.runs.size() > runs0 && sc.runs.back().octet == octet) {
      sc.runs.back().e = i + 1;
    } else {
      sc.runs.push_back({octet, i, i + 1});
      set_bit(head.kids, octet, true);
    }
  }
  // The own records in base-index order, read back from the table in the
  // order of their bits: no comparison sort (a node near the top holds
  // hundreds), and done before the recursion below reuses the table.
  for (unsigned w = 0; w < 8; ++w)
    for (std::uint64_t bits = own_bits[w]; bits != 0; bits &= bits - 1) {  // lowest set bit cleared
      const unsigned idx = w * 64 + static_cast<unsigned>(std::countr_zero(bits));
      sc.own.emplace_back(idx, sc.by_index[idx]);
    }
  const std::size_t n_own = sc.own.size() - own0, n_runs = sc.runs.size() - runs0;
  // B2. The children with items under them, built (recursively) first.
  const std::size_t built0 = sc.built.size();
  for (std::size_t r = 0; r < n_runs; ++r) {
    const Run run = sc.runs[runs0 + r];  // a copy: the recursion grows the list
    sc.built.push_back(merge(old ? mutable_child(const_cast<StrideNode*>(old), run.octet) : nullptr, d + 1, run.b,
                             run.e, sc));
  }
  const unsigned nk = head.kid_count(), np = head.prefix_count();
  auto* n = ::new (arena_allocate(StrideNode::bytes_for(nk, np))) StrideNode(head);
  // B3. Child slots in octet order: the old ones in block moves between
  // the rebuilt children (each replacing its old node, if any).
  {
    SlotMerge<std::atomic<StrideNode*>> m{from.child_slots(), n->child_slots()};
    for (std::size_t r = 0; r < n_runs; ++r) {
      const unsigned octet = sc.runs[runs0 + r].octet;
      m.move_old_to(StrideNode::rank(from.kids, octet));
      if (StrideNode::test(from.kids, octet)) sc.replaced.nodes.push_back(m.take_old());
      m.put_new(sc.built[built0 + r]);
    }
    m.move_old_to(from.kid_count());
    NETROVE_ASSERT(m.ni == nk);
  }
  // B1 and B3. Record slots in base-index order, likewise: the old ones in
  // block moves between the new records (an equal prefix's old record is
  // released once the tree is published; readers of the old node may still
  // read it until a grace period).
  {
    SlotMerge<std::atomic<Record*>> m{from.record_slots(), n->record_slots()};
    for (std::size_t k = 0; k < n_own; ++k) {
      const unsigned idx = sc.own[own0 + k].first;
      m.move_old_to(StrideNode::rank(from.prefixes, idx));
      if (StrideNode::test(from.prefixes, idx)) sc.replaced.records.push_back(m.take_old());
      m.put_new(sc.own[own0 + k].second);
    }
    m.move_old_to(from.prefix_count());
    NETROVE_ASSERT(m.ni == np);
  }
  sc.own.resize(own0);
  sc.runs.resize(runs0);
  sc.built.resize(built0);
  return n;
}

}  // namespace

NETROVE_POPCNT_CLONES void ReadIndex::insert_batch(BatchItem* items, std::size_t n) {
  if (n == 0) return;
  std::vector<Placed> placed(n);
  for (std::size_t i = 0; i < n; ++i) placed[i] = {place_of(items[i].prefix), items[i].rec, i};
  // Family, network octets, length (depth, then base index), batch order.
  // Tables usually come sorted already: then one pass checks it.
  auto before = [](const Placed& x, const Placed& y) {
    if (x.pl.fam != y.pl.fam) return x.pl.fam < y.pl.fam;
    if (const int c = std::memcmp(x.pl.net.data(), y.pl.net.data(), 16)) return c < 0;
    if (x.pl.depth != y.pl.depth) return x.pl.depth < y.pl.depth;
    if (x.pl.idx != y.pl.idx) return x.pl.idx < y.pl.idx;
    return x.order < y.order;
  };
  if (!std::is_sorted(placed.begin(), placed.end(), before)) std::sort(placed.begin(), placed.end(), before);
  // Of equal prefixes only the last of the batch stays; its record gets
  // the index's share.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Placed& x = placed[i];
    if (i + 1 < n && placed[i + 1].pl.fam == x.pl.fam && placed[i + 1].pl.depth == x.pl.depth &&
        placed[i + 1].pl.idx == x.pl.idx && placed[i + 1].pl.net == x.pl.net)
      continue;
    trie::share(x.rec);  // alive: the caller holds it
    placed[kept++] = x;
  }
  Placed* const all = placed.data();
  Scratch sc;
  for (std::size_t b = 0; b < kept;) {
    const unsigned fam = all[b].pl.fam;
    std::size_t e = b;
    while (e < kept && all[e].pl.fam == fam) ++e;
    Window w(*this, fam);
    auto& root = roots_[fam];
    StrideNode* old = root.load(std::memory_order_relaxed);
    const std::size_t replaced0 = sc.replaced.records.size();
    root.store(merge(old, 0, all + b, all + e, sc), std::memory_order_release);
    sc.replaced.nodes.push_back(old);
    top_[fam].prefixes += (e - b) - (sc.replaced.records.size() - replaced0);
    // The items' table entries, each once: sorted by network, their ranges
    // start in order, and a shorter prefix's range holds those after it.
    if (RootTable* t = fit_table(fam)) {
      unsigned done = 0;
      for (std::size_t i = b; i < e; ++i) {
        const Slots s = slots_of(all[i].pl, items[all[i].order].prefix.length);
        const unsigned from = std::max(s.from, done), end = s.from + s.count;
        if (end > from) fill_entries(fam, *t, from, end - from);
        done = std::max(done, end);
      }
    }
    b = e;
  }
  // Unlinked now: readers still inside are covered by the grace periods.
  for (StrideNode* x : sc.replaced.nodes) retire_node(x);
  for (Record* r : sc.replaced.records) trie::release(r);
}

NETROVE_POPCNT_CLONES bool ReadIndex::remove(const IpPrefix& p) {
  const Place pl = place_of(p);
  Window w(*this, pl.fam);
  auto& root = roots_[pl.fam];
  StrideNode* path[16];
  if (walk(root, pl, path) != pl.depth) return false;
  StrideNode* n = path[pl.depth];
  if (!StrideNode::test(n->prefixes, pl.idx)) return false;
  Record* rec = n->record_slots()[StrideNode::rank(n->prefixes, pl.idx)].load(std::memory_order_relaxed);
  if (pl.depth == 0 || n->prefix_count() > 1 || n->kid_count() > 0) {
    // R1. The node keeps something: again without the prefix.
    publish(root, path, pl.depth, pl, rebuild(n, {.prefix = static_cast<int>(pl.idx), .rec_to = nullptr}));
    retire_node(n);
  } else {
    // R2. Drop the node and the ancestors it alone keeps alive; the lowest
    // ancestor with anything else (or the root) loses one child.
    unsigned k = pl.depth - 1;
    while (k > 0 && path[k]->prefix_count() == 0 && path[k]->kid_count() == 1) --k;
    publish(root, path, k, pl, rebuild(path[k], {.kid = pl.net[k], .kid_to = nullptr}));
    for (unsigned j = k; j <= pl.depth; ++j) retire_node(path[j]);
  }
  --top_[pl.fam].prefixes;
  if (RootTable* t = fit_table(pl.fam)) {
    const Slots s = slots_of(pl, p.length);
    fill_entries(pl.fam, *t, s.from, s.count);
  }
  // Unlinked from the index: readers still holding it are covered by the
  // grace period of the retire this may start.
  trie::release(rec);
  return true;
}

void ReadIndex::clear() {
  for (unsigned fam = 0; fam < 2; ++fam) {
    Window w(*this, fam);
    StrideNode* old = roots_[fam].exchange(rebuild(nullptr, {}), std::memory_order_acq_rel);
    rcu::retire(old, [](void* p) { free_deep(static_cast<StrideNode*>(p)); });
    top_[fam].prefixes = 0;
    drop_table(fam);
  }
}

ReadIndex::Footprint ReadIndex::footprint(unsigned fam) const {
  Footprint f;
  walk_footprint(roots_[fam].load(std::memory_order_acquire), f);
  if (top_[fam].table.load(std::memory_order_relaxed)) f.bytes += sizeof(RootTable);
  return f;
}

}  // namespace netrove::index
