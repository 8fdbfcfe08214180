// AnswerTable: the slots, the reading rule and the bucket lists are drawn
// in answer_table.hpp.
//
// Case list for store, numbers used in the code:
//   1. An entry for the address is kept already (another miss stored it
//      meanwhile): its answer is replaced in place.
//   2. `limit` entries are kept: one is evicted first, the first entry in
//      the table's order from a hand that sweeps the slots (removed by
//      backward shift, see below); the hand moves past it.  No recency or
//      frequency is tracked, so a hit writes nothing.  The choice is
//      independent of the new address (two addresses never keep evicting
//      each other, as they would if each evicted at its home slot), never
//      favours the newest entries (the last of a probe run, where new
//      entries go), and consecutive misses evict from the same few cache
//      lines.
//   3. The new entry takes the first free slot of its probe run and the
//      head of its bucket's list.
//
// Removal (eviction, drop_inside) is by backward shift: later entries of
// the probe run move up into the hole, unless that would put one before its
// home (its distance from home tells), and their list neighbours are
// relinked to the new slot.  A reader racing with a shift may miss an entry
// being moved (the cache then asks the inner engine: correct, only slower),
// never see a wrong one.
#include "cache/answer_table.hpp"

#include <algorithm>

namespace netrove::cache {

namespace {

// Prefixes up to this many bits shorter than F visit their 2^(F - L)
// lists (4,096 list heads cost about what one pass over the slots costs);
// shorter ones (IPv4 /0 to /7, IPv6 /0 to /19) pass over every slot.
constexpr unsigned kListedBits = 12;

}  // namespace

AnswerTable::AnswerTable(std::size_t limit, std::uint64_t seed, bool owning)
    : seed_(seed), owning_(owning), limit_(std::clamp<std::size_t>(limit, 1, std::size_t{1} << 20)) {
  // At least twice the entries: the eviction hand leaves the slots just
  // behind it emptied and those ahead of it filled for a whole sweep, so
  // the density ahead of it runs near twice the mean; probe runs stay short
  // at a mean of a half or less, and grow fast beyond.
  std::size_t slots = 2;
  while (slots < 2 * limit_) slots <<= 1;
  mask_ = slots - 1;
  slots_.reset(new Slot[slots]);
  links_.reset(new Link[slots]);
  ctrl_.reset(new std::atomic<std::uint8_t>[slots]);
  for (std::size_t i = 0; i < slots; ++i) ctrl_[i].store(0, std::memory_order_relaxed);
  heads_.reset(new std::atomic<std::uint32_t>[slots]);
  for (std::size_t b = 0; b < slots; ++b) heads_[b].store(kNone, std::memory_order_relaxed);
}

AnswerTable::~AnswerTable() {
  for (std::uint32_t i = 0; i <= mask_; ++i)
    if (taken(i)) release(slots_[i].answer.load(std::memory_order_relaxed));
}

std::uint32_t AnswerTable::home_of(std::uint32_t i) const noexcept {
  const Slot& s = slots_[i];
  return static_cast<std::uint32_t>(hash(s.word.load(std::memory_order_relaxed) & kTagMask,
                                         s.hi.load(std::memory_order_relaxed), s.lo.load(std::memory_order_relaxed)) &
                                    mask_);
}

std::uint32_t AnswerTable::bucket_at(std::uint32_t i) const noexcept {
  const Slot& s = slots_[i];
  return bucket_of(s.word.load(std::memory_order_relaxed) & kTagMask, s.hi.load(std::memory_order_relaxed));
}

AnswerTable::Found AnswerTable::find(const IpAddress& a, std::size_t hash) const noexcept {
  std::uint64_t hi, lo;
  std::memcpy(&hi, a.bytes.data(), 8);
  std::memcpy(&lo, a.bytes.data() + 8, 8);
  const std::uint32_t tag = static_cast<std::uint32_t>(a.family) + 1;
  const std::uint8_t fp = fingerprint(hash);
  auto i = static_cast<std::uint32_t>(hash & mask_);
  for (std::size_t left = mask_ + 1; left != 0; --left, i = (i + 1) & mask_) {
    const std::uint8_t c = ctrl_[i].load(std::memory_order_acquire);
    if (c == 0) return {false, nullptr, i};  // the end of the probe run
    if (c != fp) continue;
    const Slot& s = slots_[i];
    const std::uint32_t w = s.word.load(std::memory_order_acquire);
    // A busy slot is passed over: whatever it becomes, the run goes on.
    if ((w & (kTagMask | kBusy)) == tag && s.hi.load(std::memory_order_acquire) == hi &&
        s.lo.load(std::memory_order_acquire) == lo) {
      const StoredRecord* r = s.answer.load(std::memory_order_acquire);
      // The acquire loads above keep this one after them: an unchanged
      // word means key and answer came from one entry.
      if (s.word.load(std::memory_order_relaxed) != w) return {};
      return {true, r, i};
    }
  }
  return {};
}

void AnswerTable::prepare(const IpAddress& a, std::uint32_t end) const noexcept {
  std::uint64_t hi;
  std::memcpy(&hi, a.bytes.data(), 8);
  __builtin_prefetch(&slots_[end], 1);
  __builtin_prefetch(&links_[end], 1);
  // The list the new entry joins, and the entry now at its head (whose
  // back link changes).  The load may wait for its line, while the inner
  // lookup that follows goes on.
  const std::atomic<std::uint32_t>& head = heads_[bucket_of(static_cast<unsigned>(a.family) + 1, hi)];
  if (const std::uint32_t first = head.load(std::memory_order_relaxed); first != kNone)
    __builtin_prefetch(&links_[first], 1);
  if (count_.load(std::memory_order_relaxed) == limit_) {
    // The eviction's slot, its links and the head of its list (see hint_).
    const std::uint32_t hand = hand_.load(std::memory_order_relaxed);
    __builtin_prefetch(&slots_[hand], 1);
    __builtin_prefetch(&links_[hand], 1);
    __builtin_prefetch(&heads_[hint_.load(std::memory_order_relaxed)], 1);
  }
}

void AnswerTable::set_next(std::uint32_t prev, std::uint32_t bucket, std::uint32_t next) noexcept {
  if (prev == kNone) heads_[bucket].store(next, std::memory_order_relaxed);
  else links_[prev].next = next;
}

std::uint32_t AnswerTable::slot_of(const IpAddress& a, std::size_t hash) const noexcept {
  std::uint64_t hi, lo;
  std::memcpy(&hi, a.bytes.data(), 8);
  std::memcpy(&lo, a.bytes.data() + 8, 8);
  const std::uint32_t tag = static_cast<std::uint32_t>(a.family) + 1;
  const std::uint8_t fp = fingerprint(hash);
  for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
    const std::uint8_t c = ctrl_[i].load(std::memory_order_relaxed);
    if (c == 0) return kNone;
    if (c != fp) continue;
    const Slot& s = slots_[i];
    if ((s.word.load(std::memory_order_relaxed) & kTagMask) == tag && s.hi.load(std::memory_order_relaxed) == hi &&
        s.lo.load(std::memory_order_relaxed) == lo)
      return static_cast<std::uint32_t>(i);
  }
}

void AnswerTable::put(std::uint32_t i, std::uint8_t fp, unsigned tag, std::uint64_t hi, std::uint64_t lo,
                      const StoredRecord* answer) noexcept {
  Slot& s = slots_[i];
  const std::uint32_t w = s.word.load(std::memory_order_relaxed);
  // Busy first; the release stores of the fields keep it ahead of them for
  // any reader that sees one of them.
  s.word.store(w | kBusy, std::memory_order_relaxed);
  s.hi.store(hi, std::memory_order_release);
  s.lo.store(lo, std::memory_order_release);
  s.answer.store(answer, std::memory_order_release);
  s.word.store(((w >> kVersionShift) + 1) << kVersionShift | tag, std::memory_order_release);
  ctrl_[i].store(fp, std::memory_order_release);
}

void AnswerTable::unlink(std::uint32_t i) noexcept {
  const Link l = links_[i];
  set_next(l.prev, bucket_at(i), l.next);
  if (l.next != kNone) links_[l.next].prev = l.prev;
}

void AnswerTable::store(const IpAddress& a, std::size_t hash, const StoredRecord* answer) noexcept {
  std::uint64_t hi, lo;
  std::memcpy(&hi, a.bytes.data(), 8);
  std::memcpy(&lo, a.bytes.data() + 8, 8);
  const unsigned tag = static_cast<unsigned>(a.family) + 1;
  const std::uint8_t fp = fingerprint(hash);
  if (const std::uint32_t i = slot_of(a, hash); i != kNone) {
    // 1. Kept already: the new answer replaces the old one.
    const StoredRecord* old = slots_[i].answer.load(std::memory_order_relaxed);
    put(i, fp, tag, hi, lo, answer);
    release(old);
    return;
  }
  if (count_.load(std::memory_order_relaxed) == limit_) {
    // 2. Full: the first entry at or after the hand goes, and the hand
    // moves past it.
    std::uint32_t z = hand_.load(std::memory_order_relaxed);
    while (!taken(z)) z = (z + 1) & mask_;
    erase_at(z);
    std::uint32_t next = (z + 1) & mask_;
    hand_.store(next, std::memory_order_relaxed);
    // The next eviction's likely list, for the next miss's prepare().
    for (std::uint32_t n = 0; n < 64 && !taken(next); ++n) next = (next + 1) & mask_;
    hint_.store(taken(next) ? bucket_at(next) : 0, std::memory_order_relaxed);
  }
  // 3. The first free slot of the probe run.
  const auto home = static_cast<std::uint32_t>(hash & mask_);
  std::uint32_t at = home;
  while (taken(at)) at = (at + 1) & mask_;
  slots_[at].dist = static_cast<std::uint16_t>(std::min((at - home) & static_cast<std::uint32_t>(mask_), kFarDist));
  const std::uint32_t b = bucket_of(tag, hi);
  const std::uint32_t first = heads_[b].load(std::memory_order_relaxed);
  links_[at] = {first, kNone};
  if (first != kNone) links_[first].prev = at;
  heads_[b].store(at, std::memory_order_relaxed);
  put(at, fp, tag, hi, lo, answer);
  count_.store(count_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

IpAddress AnswerTable::address_at(std::uint32_t i) const noexcept {
  const Slot& s = slots_[i];
  IpAddress a;
  a.family = static_cast<std::uint8_t>((s.word.load(std::memory_order_relaxed) & kTagMask) - 1);
  const std::uint64_t hi = s.hi.load(std::memory_order_relaxed), lo = s.lo.load(std::memory_order_relaxed);
  std::memcpy(a.bytes.data(), &hi, 8);
  std::memcpy(a.bytes.data() + 8, &lo, 8);
  return a;
}

void AnswerTable::erase_at(std::uint32_t i) noexcept {
  unlink(i);
  release(slots_[i].answer.load(std::memory_order_relaxed));
  std::uint32_t hole = i;
  for (std::uint32_t j = (i + 1) & mask_; taken(j); j = (j + 1) & mask_) {
    // The entry at j may move to the hole unless its home lies cyclically
    // in (hole, j], i.e. unless it sits less than `gap` from its home.
    Slot& s = slots_[j];
    const std::uint32_t gap = (j - hole) & static_cast<std::uint32_t>(mask_);
    const std::uint32_t dist = s.dist < kFarDist ? s.dist : (j - home_of(j)) & static_cast<std::uint32_t>(mask_);
    if (dist < gap) continue;
    slots_[hole].dist = static_cast<std::uint16_t>(std::min(dist - gap, kFarDist));
    const Link l = links_[j];
    links_[hole] = l;
    set_next(l.prev, bucket_at(j), hole);
    if (l.next != kNone) links_[l.next].prev = hole;
    put(hole, ctrl_[j].load(std::memory_order_relaxed), s.word.load(std::memory_order_relaxed) & kTagMask,
        s.hi.load(std::memory_order_relaxed), s.lo.load(std::memory_order_relaxed),
        s.answer.load(std::memory_order_relaxed));
    hole = j;
  }
  ctrl_[hole].store(0, std::memory_order_release);
  Slot& s = slots_[hole];
  const std::uint32_t w = s.word.load(std::memory_order_relaxed);
  s.word.store(((w >> kVersionShift) + 1) << kVersionShift, std::memory_order_release);  // free
  count_.store(count_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
}

std::size_t AnswerTable::drop_inside(const IpPrefix& prefix) noexcept {
  if (count_.load(std::memory_order_relaxed) == 0) return 0;
  const unsigned tag = static_cast<unsigned>(prefix.family) + 1, f = fine_bits(tag);
  std::uint64_t hi;
  const auto bytes = prefix.network_address();
  std::memcpy(&hi, bytes.data(), 8);
  const std::uint64_t net = leading(hi);
  if (prefix.length + kListedBits >= f) {
    // The leading-F-bit values under the prefix: from its network's, as
    // many as its length leaves free among the F bits.
    const std::uint64_t first = net >> (64 - f);
    const std::uint64_t values = prefix.length >= f ? 1 : std::uint64_t{1} << (f - prefix.length);
    std::size_t dropped = 0;
    for (std::uint64_t v = first; v < first + values; ++v) dropped += drop_listed(prefix, bucket(tag, v));
    return dropped;
  }
  return drop_scanned(prefix);
}

std::size_t AnswerTable::drop_listed(const IpPrefix& prefix, std::uint32_t b) noexcept {
  // The list's entries inside the prefix are noted first, up to kBatch of
  // them, then erased by address: an erase's shift moves entries to other
  // slots, so a walk cannot go on past it.  A full batch means more may
  // follow: the walk starts over (the erased ones are gone from the list).
  constexpr std::size_t kBatch = 32;
  IpAddress noted[kBatch];
  std::size_t dropped = 0, n;
  do {
    n = 0;
    for (std::uint32_t i = heads_[b].load(std::memory_order_relaxed); i != kNone && n < kBatch;
         i = links_[i].next) {
      const IpAddress a = address_at(i);
      if (prefix.contains(a)) noted[n++] = a;
    }
    for (std::size_t k = 0; k < n; ++k) erase_at(slot_of(noted[k], hash(noted[k])));
    dropped += n;
  } while (n == kBatch);
  return dropped;
}

std::size_t AnswerTable::drop_scanned(const IpPrefix& prefix) noexcept {
  // A shift moves entries only into slots at or after the hole (in pass
  // order, or, when the run wraps, into the part already passed from the
  // part already passed), so the pass goes on from the hole.
  std::size_t dropped = 0;
  for (std::uint32_t i = 0; i <= mask_; ++i)
    while (taken(i) && prefix.contains(address_at(i))) {
      erase_at(i);
      ++dropped;
    }
  return dropped;
}

void AnswerTable::drop_all() noexcept {
  for (std::uint32_t i = 0; i <= mask_; ++i) {
    if (!taken(i)) continue;
    release(slots_[i].answer.load(std::memory_order_relaxed));
    ctrl_[i].store(0, std::memory_order_release);
    Slot& s = slots_[i];
    const std::uint32_t w = s.word.load(std::memory_order_relaxed);
    s.word.store(((w >> kVersionShift) + 1) << kVersionShift, std::memory_order_release);
  }
  for (std::uint32_t b = 0; b <= mask_; ++b) heads_[b].store(kNone, std::memory_order_relaxed);
  count_.store(0, std::memory_order_relaxed);
}

bool AnswerTable::consistent() const noexcept {
  std::size_t held = 0, listed = 0;
  for (std::uint32_t i = 0; i <= mask_; ++i) {
    const Slot& s = slots_[i];
    const std::uint32_t w = s.word.load(std::memory_order_relaxed);
    if ((w & kBusy) || ((w & kTagMask) != 0) != taken(i)) return false;
    if (!taken(i)) continue;
    ++held;
    const IpAddress a = address_at(i);
    const std::size_t h = hash(a);
    if (slot_of(a, h) != i) return false;  // reachable from its home, found there only
    if (ctrl_[i].load(std::memory_order_relaxed) != fingerprint(h) ||
        s.dist != std::min<std::size_t>((i - h) & mask_, kFarDist))
      return false;
  }
  for (std::uint32_t b = 0; b <= mask_; ++b)
    for (std::uint32_t i = heads_[b].load(std::memory_order_relaxed), prev = kNone; i != kNone;
         prev = i, i = links_[i].next)
      if (++listed > held || !taken(i) || bucket_at(i) != b || links_[i].prev != prev)
        return false;
  const std::size_t n = count_.load(std::memory_order_relaxed);
  return held == n && listed == n && n <= limit_;
}

}  // namespace netrove::cache
