// cache/answer_table.hpp - the lookup cache's table: answers held inline in
// the slots, read without a lock, and found by address range for writes.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "netrove/record.hpp"
#include "netrove/types.hpp"

namespace netrove::cache {

/// A bounded open-addressed table from address to lookup answer, for any
/// number of lock-free readers and one writer at a time (the caller
/// serialises the writers):
///
///   slots: a power of two, at least twice the entries kept; linear probing
///   from the home slot (hash & mask); removal by backward shift (no
///   tombstones).  Beside them, one control byte per slot for the probe:
///
///   ctrl   [ 0 ][0x9a][0xc1][ 0 ][0x83] ...   0: free, else 0x80 | 7 hash bits
///   slots  [   ][ E1 ][ E2 ][   ][ E3 ] ...
///
///   one slot: 32 bytes, two to a cache line, all of it what readers read
///   +--------------------+------+------+-----------+-----------+--------+
///   | word               | dist | spare| hi        | lo        | answer |
///   | version | busy|tag | u16  |      | bytes 0-7 | bytes 8-15| record |
///   +--------------------+------+------+-----------+-----------+--------+
///   0                    4      6      8           16          24       32
///     tag: 1 IPv4, 2 IPv6 (the family, part of the key); 0 free
///     busy: set while the writer changes the slot; version: counts writes
///     dist: the slot's distance from the entry's home (the writer's)
///     answer: the inner engine's stored record (null: "no match"), not
///       owned (see the constructor)
///
///   links  [    ][7|nil][nil|3] ...   per slot, the writer's alone: its
///                                     neighbours in its bucket's list
///
///   The writer's links live apart from the slots, so the slots a reader
///   probes take half the lines (for 10,000 answers: 1 MiB of slots, 256
///   KiB of links, 128 KiB of list heads, 32 KiB of control bytes, beside
///   the read index in the processor's caches).  An entry's bucket is
///   computed again from its key where the writer needs it.
///
/// Reading.  A reader walks the control bytes from the home slot to the
/// first free one (an array of one byte per slot, 32 KiB for the 10,000
/// answers a named variant keeps, which stays cached: a miss costs one
/// line), and reads a slot only where the fingerprint matches: the word,
/// the key and the answer, then the word again.  The same word (busy clear)
/// means it saw one whole entry.  The writer sets busy, stores the fields,
/// stores the word with the version bumped, then the control byte.  Every
/// field a reader reads is an atomic (release stores, acquire loads: plain
/// moves on x86), so no reader reads a torn field.  An answer seen in a
/// slot that changes after the second load stays readable until the
/// reader's read section ends: records are freed only a grace period after
/// they are retired, and (see the constructor) never retired while a slot
/// holds them.
///
/// Finding a prefix's entries.  Every entry is in one doubly linked bucket
/// list, that of the hash of its family and leading F bits (F = 20 for
/// IPv4, 32 for IPv6: a few routes of a real table, so lists are short):
///
///     heads [ ][7][ ][ ] ...          (10.1.0/20 hashes to bucket 1)
///               |
///               +--> slot 7 (10.1.2.9) <--> slot 903 (10.1.14.7) --> nil
///
///   write of a prefix of length L          what it visits
///   -----------------------------          --------------
///   L >= F         (one F-bit value)       that value's list
///   F-12 <= L < F  (2 to 4,096 values)     their lists
///   L < F-12       (IPv4 /0-/7, IPv6       every slot
///                  /0-/19: a default
///                  route at most, in a
///                  real table)
///
/// and checks every entry so found against the prefix, family included
/// (buckets are hashes: they only narrow the search).
///
/// A store (a miss) writes one slot, its links, its control byte, one list
/// head and the back link of the entry that headed the list; an eviction
/// frees the slot at the eviction hand, unlinks it and shifts the rest of
/// its probe run back (moved entries' list neighbours are relinked).  No
/// allocation, no reference count.
class AnswerTable {
 public:
  /// What a reader found: `hit` with the cached answer (null: "no match"),
  /// or a miss, with the free slot that ended the probe run.
  struct Found {
    bool hit = false;
    const StoredRecord* answer = nullptr;
    std::uint32_t end = 0;
  };

  /// A table keeping at most `limit` (1 to 2^20) entries, hashing with
  /// `seed`.  `owning`: each answer stored is one share the table owns and
  /// releases when it drops the entry.  Otherwise the table holds answers
  /// without owning them (no reference count is touched per store or
  /// eviction), and the caller keeps every stored record alive: it drops
  /// the entries whose answer a write may change before that write, whose
  /// own release could retire the record, begins (CachedEngine's rule).
  AnswerTable(std::size_t limit, std::uint64_t seed, bool owning);
  /// Releases every answer owned.  No reader may be left.
  ~AnswerTable();
  AnswerTable(const AnswerTable&) = delete;
  AnswerTable& operator=(const AnswerTable&) = delete;

  /// The seeded hash of `a`, which every other call takes beside it.
  std::size_t hash(const IpAddress& a) const noexcept {
    std::uint64_t hi, lo;
    std::memcpy(&hi, a.bytes.data(), 8);
    std::memcpy(&lo, a.bytes.data() + 8, 8);
    return hash(static_cast<unsigned>(a.family) + 1, hi, lo);
  }

  // ---- Readers: any thread, no lock, inside a read section (which keeps
  // a found answer readable until it ends).

  /// The cached answer for `a`, or a miss.  A miss may also mean that the
  /// writer was moving or changing the entry at that instant.  Writes
  /// nothing.
  Found find(const IpAddress& a, std::size_t hash) const noexcept;
  /// Starts loading the control bytes of `hash`'s home (for a batch).
  void prefetch(std::size_t hash) const noexcept { __builtin_prefetch(&ctrl_[hash & mask_]); }
  /// After a miss that ended at `end`: starts loading what storing `a` will
  /// write (that slot and its links, its list head and the first entry's
  /// links, the slot at the eviction hand, its links and its list head), so
  /// that the store, which comes after the inner lookup, finds them cached.
  /// Reads the writer's state without the lock: a hint only.
  void prepare(const IpAddress& a, std::uint32_t end) const noexcept;

  // ---- The writer: one thread at a time (the caller's lock).

  /// Keeps `answer` (null for "no match"; when owning, one share the caller
  /// hands over) as the answer for `a`: in place of an answer already cached
  /// for `a`, else in a free slot, evicting one other entry first when
  /// `limit` are kept (the cases in answer_table.cpp).
  void store(const IpAddress& a, std::size_t hash, const StoredRecord* answer) noexcept;
  /// Drops the entries whose address `prefix` contains (family included)
  /// and keeps the others; returns how many it dropped.
  std::size_t drop_inside(const IpPrefix& prefix) noexcept;
  /// Drops every entry.
  void drop_all() noexcept;
  /// Whether an entry for `a` is kept.
  bool holds(const IpAddress& a, std::size_t hash) const noexcept { return slot_of(a, hash) != kNone; }
  /// Whether the table owns the answers it holds.
  bool owning() const noexcept { return owning_; }
  /// Entries kept.
  std::size_t size() const noexcept { return count_.load(std::memory_order_relaxed); }
  /// Walks the whole table and checks its invariants (every entry reachable
  /// from its home and found once, at its recorded distance, with its
  /// fingerprint, in its bucket's list once; the count); for tests.
  bool consistent() const noexcept;

 private:
  struct Link {
    std::uint32_t next, prev;  // kNone: the end, or (prev) the list head
  };
  struct alignas(32) Slot {
    // What readers read (under the version word).
    std::atomic<std::uint32_t> word{0};
    std::uint16_t dist = 0;  // the writer's
    std::uint16_t spare = 0;
    std::atomic<std::uint64_t> hi{0}, lo{0};
    std::atomic<const StoredRecord*> answer{nullptr};
  };
  static_assert(sizeof(Slot) == 32, "two slots per cache line, never one across two");
  static_assert(std::atomic<std::uint8_t>::is_always_lock_free && std::atomic<std::uint32_t>::is_always_lock_free &&
                std::atomic<std::uint64_t>::is_always_lock_free && std::atomic<const StoredRecord*>::is_always_lock_free);

  // word = version << 3 | busy << 2 | tag
  static constexpr std::uint32_t kTagMask = 3, kBusy = 4, kVersionShift = 3;
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};
  static constexpr std::uint32_t kFarDist = 0xFFFF;  // dist at or beyond: the hash tells

  static std::uint8_t fingerprint(std::size_t hash) noexcept { return static_cast<std::uint8_t>(0x80u | hash >> 57); }
  /// The first eight address bytes as a big-endian number (address bit 0
  /// is bit 63).
  static std::uint64_t leading(std::uint64_t hi) noexcept {
    if constexpr (std::endian::native == std::endian::little) return __builtin_bswap64(hi);
    return hi;
  }
  std::size_t hash(unsigned tag, std::uint64_t hi, std::uint64_t lo) const noexcept {
    // The family in the top bits, the low word rotated into the middle, then
    // multiply-xorshift mixing of it all.
    std::uint64_t x = hi ^ seed_ ^ (std::uint64_t{tag} << 62) ^ std::rotl(lo * 0x9e3779b97f4a7c15ull, 32);
    x = (x ^ (x >> 32)) * 0xd6e8feb86659fd93ull;
    x = (x ^ (x >> 32)) * 0xd6e8feb86659fd93ull;
    return static_cast<std::size_t>(x ^ (x >> 32));
  }
  /// The bucket of family `tag` and leading-F-bit value `lead_f`.
  std::uint32_t bucket(unsigned tag, std::uint64_t lead_f) const noexcept {
    const std::uint64_t x = (lead_f ^ (std::uint64_t{tag} << 56) ^ seed_) * 0x9e3779b97f4a7c15ull;
    return static_cast<std::uint32_t>(x >> 40) & static_cast<std::uint32_t>(mask_);
  }
  /// Buckets hold the family and its leading F bits.
  static constexpr unsigned fine_bits(unsigned tag) noexcept { return tag == 1 ? 20 : 32; }
  std::uint32_t bucket_of(unsigned tag, std::uint64_t hi) const noexcept {
    return bucket(tag, leading(hi) >> (64 - fine_bits(tag)));
  }
  std::uint32_t bucket_at(std::uint32_t i) const noexcept;
  std::uint32_t home_of(std::uint32_t i) const noexcept;
  bool taken(std::uint32_t i) const noexcept { return ctrl_[i].load(std::memory_order_relaxed) != 0; }
  std::uint32_t slot_of(const IpAddress& a, std::size_t hash) const noexcept;
  void put(std::uint32_t i, std::uint8_t fp, unsigned tag, std::uint64_t hi, std::uint64_t lo,
           const StoredRecord* answer) noexcept;
  void release(const StoredRecord* answer) const noexcept {
    if (owning_ && answer) release_record(const_cast<StoredRecord*>(answer));
  }
  void unlink(std::uint32_t i) noexcept;
  /// Sets the next link of `prev`, or the head of `bucket` when `prev` is
  /// kNone, to `next`.
  void set_next(std::uint32_t prev, std::uint32_t bucket, std::uint32_t next) noexcept;
  void erase_at(std::uint32_t i) noexcept;
  IpAddress address_at(std::uint32_t i) const noexcept;
  std::size_t drop_listed(const IpPrefix& prefix, std::uint32_t b) noexcept;
  std::size_t drop_scanned(const IpPrefix& prefix) noexcept;

  std::uint64_t seed_;
  bool owning_;
  std::size_t limit_;
  std::size_t mask_;  // slots - 1
  std::unique_ptr<Slot[]> slots_;
  std::unique_ptr<Link[]> links_;  // per slot: its bucket list neighbours (the writer's)
  std::unique_ptr<std::atomic<std::uint8_t>[]> ctrl_;
  // Per bucket (as many as slots); atomics only so that prepare() may read
  // them without the lock.
  std::unique_ptr<std::atomic<std::uint32_t>[]> heads_;
  // The writer's; read by size() and prepare() without the lock (atomics).
  std::atomic<std::size_t> count_{0};
  std::atomic<std::uint32_t> hand_{0};  // where eviction looks next
  std::atomic<std::uint32_t> hint_{0};  // the list of the first entry after the hand
};

}  // namespace netrove::cache
