// ChildMap: the children of kinds 3 and 7 in liburcu's lock-free RCU hash
// table.  Keys are the branch bit (0 left, 1 right), so a table never holds
// more than two entries.  Entries are immutable: replacing a child adds a
// new entry with cds_lfht_add_replace and retires the old one.
#include <random>

#include "node_fields.hpp"

// rculfhash must see the flavour's API mapping first.
#include <urcu/rculfhash.h>

namespace netrove::trie {

namespace {

struct Entry {
  cds_lfht_node node;
  NodeHeader* child;  // one owned reference
  std::uint8_t side;
};
static_assert(std::is_standard_layout_v<Entry>);

Entry* entry_of(cds_lfht_node* n) noexcept { return reinterpret_cast<Entry*>(n); }

int match(cds_lfht_node* n, const void* key) {
  rcu::tsan_acquire(n);  // pairs with the release before the entry is added
  return entry_of(n)->side == *static_cast<const std::uint8_t*>(key);
}

unsigned long hash_of(std::uint64_t seed, bool side) noexcept {
  std::uint64_t z = seed + (side ? 0x9e3779b97f4a7c15ull : 0);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return static_cast<unsigned long>(z ^ (z >> 31));
}

std::uint64_t fresh_seed() noexcept {
  thread_local std::uint64_t state = [] {
    std::random_device rd;
    return (std::uint64_t{rd()} << 32) ^ rd();
  }();
  state += 0x9e3779b97f4a7c15ull;
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  return z ^ (z >> 27);
}

/// Drops the entry's child at once and frees the entry after a grace period
/// (readers may be inside it).
void retire_entry(Entry* e) noexcept {
  release(e->child);
  rcu::retire(e, [](void* p) { delete static_cast<Entry*>(p); });
}

cds_lfht* new_table() {
  // One bucket, no resizing: at most two entries ever live in a table.
  cds_lfht* t = cds_lfht_new_flavor(1, 1, 1, 0, &urcu_memb_flavor, nullptr);
  if (!t) throw std::bad_alloc();
  return t;
}

}  // namespace

ChildMap::ChildMap() noexcept : seed(fresh_seed()) {}

NodeHeader* ChildMap::get(bool side) const noexcept {
  cds_lfht* t = ht.load(std::memory_order_acquire);
  if (!t) return nullptr;
  const std::uint8_t key = side;
  cds_lfht_iter it;
  cds_lfht_lookup(t, hash_of(seed, side), match, &key, &it);
  cds_lfht_node* n = cds_lfht_iter_get_node(&it);
  if (!n) return nullptr;
  rcu::tsan_acquire(n);  // match() may not have run on a one-entry chain
  return entry_of(n)->child;
}

void ChildMap::set(bool side, NodeHeader* owned) {
  rcu::ReadSection rs;
  cds_lfht* t = ht.load(std::memory_order_acquire);
  if (!t) {
    if (!owned) return;
    cds_lfht* fresh = new_table();
    if (ht.compare_exchange_strong(t, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
      t = fresh;
    } else {
      cds_lfht_destroy(fresh, nullptr);  // never published, still empty
    }
  }
  const std::uint8_t key = side;
  const unsigned long h = hash_of(seed, side);
  if (owned) {
    Entry* e = new Entry{{}, owned, key};
    cds_lfht_node_init(&e->node);
    rcu::tsan_release(&e->node);
    cds_lfht_node* old = cds_lfht_add_replace(t, h, match, &key, &e->node);
    if (old) retire_entry(entry_of(old));
    return;
  }
  cds_lfht_iter it;
  cds_lfht_lookup(t, h, match, &key, &it);
  cds_lfht_node* n = cds_lfht_iter_get_node(&it);
  if (n && cds_lfht_del(t, n) == 0) retire_entry(entry_of(n));
}

void ChildMap::teardown() noexcept {
  cds_lfht* t = ht.exchange(nullptr, std::memory_order_acq_rel);
  if (!t) return;
  {
    rcu::ReadSection rs;
    for (;;) {
      cds_lfht_iter it;
      cds_lfht_first(t, &it);
      cds_lfht_node* n = cds_lfht_iter_get_node(&it);
      if (!n) break;
      if (cds_lfht_del(t, n) == 0) retire_entry(entry_of(n));
    }
  }
  if (cds_lfht_destroy(t, nullptr) != 0) std::terminate();  // cannot happen: the table is empty
}

}  // namespace netrove::trie
