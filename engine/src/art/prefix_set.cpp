// PrefixSet: bitmap of heap positions and a dense, position-ordered array of
// leaves (see art/prefix_set.hpp for the numbering).
#include "art/prefix_set.hpp"

#include <cstring>

#include "alloc.hpp"
#include "sync/panic.hpp"

namespace netrove::art {

namespace {

bool has(const PrefixSet* s, unsigned pos) noexcept { return (s->bits[pos >> 6] >> (pos & 63)) & 1u; }

/// Number of positions in use below `pos`: the index of pos's leaf.
unsigned rank(const PrefixSet* s, unsigned pos) noexcept {
  const unsigned word = pos >> 6;
  unsigned r = 0;
  for (unsigned w = 0; w < word; ++w) r += static_cast<unsigned>(__builtin_popcountll(s->bits[w]));
  const std::uint64_t below = s->bits[word] & ((std::uint64_t{1} << (pos & 63)) - 1);
  return r + static_cast<unsigned>(__builtin_popcountll(below));
}

PrefixSet* allocate(unsigned capacity) noexcept {
  auto* s = static_cast<PrefixSet*>(art_alloc(sizeof(PrefixSet) + capacity * sizeof(Leaf*)));
  std::memset(s, 0, sizeof(PrefixSet));
  s->capacity = static_cast<std::uint16_t>(capacity);
  return s;
}

}  // namespace

Leaf* prefix_set_find(const PrefixSet* set, unsigned pos) noexcept {
  NETROVE_ASSERT(pos >= 1 && pos <= 255);
  if (set == nullptr || !has(set, pos)) return nullptr;
  return set->leaves()[rank(set, pos)];
}

const Leaf* prefix_set_longest(const PrefixSet* set, std::uint8_t byte) noexcept {
  if (set == nullptr) return nullptr;
  for (unsigned r = 8; r-- > 0;) {
    const unsigned pos = prefix_position(r, byte);
    if (has(set, pos)) return set->leaves()[rank(set, pos)];
  }
  return nullptr;
}

PrefixSet* prefix_set_add(PrefixSet* set, unsigned pos, Leaf* leaf) {
  NETROVE_ASSERT(pos >= 1 && pos <= 255);
  NETROVE_ASSERT(set == nullptr || !has(set, pos));
  if (set == nullptr) {
    set = allocate(2);
  } else if (set->count == set->capacity) {
    const unsigned cap = set->capacity * 2u > 255u ? 255u : set->capacity * 2u;
    PrefixSet* grown = allocate(cap);
    std::memcpy(grown->bits, set->bits, sizeof set->bits);
    grown->count = set->count;
    std::memcpy(grown->leaves(), set->leaves(), set->count * sizeof(Leaf*));
    art_free(set);
    set = grown;
  }
  const unsigned at = rank(set, pos);
  Leaf** a = set->leaves();
  std::memmove(a + at + 1, a + at, (set->count - at) * sizeof(Leaf*));
  a[at] = leaf;
  set->bits[pos >> 6] |= std::uint64_t{1} << (pos & 63);
  ++set->count;
  return set;
}

Leaf* prefix_set_take(PrefixSet*& set, unsigned pos) noexcept {
  NETROVE_ASSERT(pos >= 1 && pos <= 255);
  if (set == nullptr || !has(set, pos)) return nullptr;
  const unsigned at = rank(set, pos);
  Leaf** a = set->leaves();
  Leaf* out = a[at];
  std::memmove(a + at, a + at + 1, (set->count - at - 1) * sizeof(Leaf*));
  set->bits[pos >> 6] &= ~(std::uint64_t{1} << (pos & 63));
  if (--set->count == 0) {
    art_free(set);
    set = nullptr;
  }
  return out;
}

void prefix_set_release(PrefixSet* set) noexcept {
  if (set == nullptr) return;
  for (unsigned i = 0; i < set->count; ++i) free_leaf(set->leaves()[i]);
  art_free(set);
}

std::size_t prefix_set_size(const PrefixSet* set) noexcept {
  return set == nullptr ? 0 : sizeof(PrefixSet) + set->capacity * sizeof(Leaf*);
}

}  // namespace netrove::art
