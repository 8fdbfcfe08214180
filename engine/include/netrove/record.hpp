// netrove/record.hpp - the stored form of a record: one compact, immutable,
// reference-counted allocation, shared by every holder of equal contents.
//
// A Metadata (a std::string and a hash map) costs over a hundred bytes and
// several allocations; engines keep one per prefix.  What they keep instead
// is a StoredRecord, the value text and the attribute pairs side by side in
// one block:
//
//   +--------+-------+----------------+------------------------------+---------------------+
//   | owners | count | hash           | lengths (u32)                | text bytes          |
//   | u32    | u32   | u64            | value, k1, v1, ..., kn, vn   | value k1 v1 ... vn  |
//   +--------+-------+----------------+------------------------------+---------------------+
//   0        4       8                16                  16 + 4(2n+1)
//
// The pairs are kept in the iteration order of the map the record was made
// from, so lending a stored record shows its attributes in the order a copy
// of that map would (the order is unspecified either way, see metadata.hpp).
//
// Interning.  Real tables repeat a few thousand distinct records over a
// million prefixes, so equal records share one block: RecordRef::intern
// looks the contents up in a process-wide table of weak entries (striped by
// hash, each stripe one short-held leaf lock) and shares the live block it
// finds, or stores a new one.  Equality is that of Metadata: same value,
// same set of pairs, order ignored; the hash is order-independent too.
// Nobody can tell a shared block from a private one: blocks never change,
// and every answer handed out is a fresh object.  The table holds no share:
// the release that drops the count to zero takes the entry out and hands
// the block to deferred reclamation (a lock-free reader may still be
// reading it).  An interner meeting an entry whose count already reached
// zero treats it as absent.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string_view>
#include <utility>

#include "netrove/metadata.hpp"

namespace netrove {

/// One stored record (layout above).  Created only by RecordRef::intern;
/// immutable from then on; freed after a grace period once `owners` hits 0.
struct StoredRecord {
  std::atomic<std::uint32_t> owners{1};
  std::uint32_t count = 0;  // attribute pairs
  std::uint64_t hash = 0;   // order-independent content hash (interning)

  /// Length table, 2 * count + 1 entries, then the texts.
  const std::uint32_t* lengths() const noexcept { return reinterpret_cast<const std::uint32_t*>(this + 1); }
  const char* text() const noexcept { return reinterpret_cast<const char*>(lengths() + 2 * count + 1); }
};
static_assert(sizeof(StoredRecord) == 16 && alignof(StoredRecord) == 8, "a 16-byte header before the lengths");
static_assert(std::is_standard_layout_v<StoredRecord>);

/// Drops one owner of `r`; the last one takes it out of the intern table and
/// retires it.  Any thread, under any lock but the intern table's.
void release_record(StoredRecord* r) noexcept;
/// Adds an owner unless the count already reached zero (`r` is dying).
bool try_share_record(StoredRecord* r) noexcept;

/// A read-only view of a stored record, valid while the block is: for a
/// lent record, only during the visit (see RecordLender).  Two words.
class RecordView {
 public:
  /// One attribute pair.
  using Pair = std::pair<std::string_view, std::string_view>;

  /// Walks the pairs in stored order.
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Pair;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = Pair;

    iterator() noexcept = default;
    Pair operator*() const noexcept { return {{text_, len_[0]}, {text_ + len_[0], len_[1]}}; }
    iterator& operator++() noexcept {
      text_ += len_[0] + len_[1];
      len_ += 2;
      return *this;
    }
    iterator operator++(int) noexcept {
      iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const iterator& a, const iterator& b) noexcept { return a.len_ == b.len_; }

   private:
    friend class RecordView;
    iterator(const std::uint32_t* len, const char* text) noexcept : len_(len), text_(text) {}
    const std::uint32_t* len_ = nullptr;
    const char* text_ = nullptr;
  };

  explicit RecordView(const StoredRecord& r) noexcept : r_(&r) {}

  std::string_view value() const noexcept { return {r_->text(), r_->lengths()[0]}; }
  /// Number of attribute pairs.
  std::size_t size() const noexcept { return r_->count; }
  iterator begin() const noexcept { return {r_->lengths() + 1, r_->text() + r_->lengths()[0]}; }
  iterator end() const noexcept { return {r_->lengths() + 1 + 2 * r_->count, nullptr}; }

  /// The caller's own copy (a new attribute map with a fresh seed).
  Metadata to_metadata() const;
  /// The stored block behind the view.
  const StoredRecord& stored() const noexcept { return *r_; }

 private:
  const StoredRecord* r_;
};

/// Same value and same set of attribute pairs (order ignored), as Metadata's ==.
bool same_contents(RecordView a, const Metadata& b) noexcept;
bool same_contents(RecordView a, RecordView b) noexcept;

/// An owning handle: one share of a stored record, or nothing.  Copying
/// shares, destruction releases.  One word.
class RecordRef {
 public:
  RecordRef() noexcept = default;
  /// The shared block of these contents (a new one when none is alive).
  static RecordRef intern(const Metadata& m);
  static RecordRef intern(RecordView v);
  /// A share of the block behind `v`, or, should that block be dying, an
  /// interned copy of it.  For keeping a lent record past the visit.
  static RecordRef share(RecordView v);
  /// Takes over one share the caller owns (may be null).
  static RecordRef adopt(StoredRecord* owned) noexcept {
    RecordRef r;
    r.p_ = owned;
    return r;
  }

  RecordRef(const RecordRef& o) noexcept : p_(o.p_) {
    if (p_) p_->owners.fetch_add(1, std::memory_order_relaxed);
  }
  RecordRef(RecordRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  RecordRef& operator=(RecordRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~RecordRef() {
    if (p_) release_record(p_);
  }

  explicit operator bool() const noexcept { return p_ != nullptr; }
  /// Precondition: not empty.
  RecordView view() const noexcept { return RecordView(*p_); }
  StoredRecord* get() const noexcept { return p_; }
  /// Hands the share to the caller (the handle becomes empty).
  StoredRecord* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  StoredRecord* p_ = nullptr;
};
static_assert(sizeof(RecordRef) == sizeof(void*));

/// Bytes of stored records alive now (block sizes, shared blocks once) and
/// their number; for the memory counters of the benchmarks.
struct RecordCensus {
  std::uint64_t records = 0;
  std::uint64_t bytes = 0;
};
RecordCensus record_census() noexcept;

}  // namespace netrove

/// A unique_ptr of a stored record owns one share: it releases, never deletes.
template <>
struct std::default_delete<netrove::StoredRecord> {
  void operator()(netrove::StoredRecord* r) const noexcept { netrove::release_record(r); }
};
