// netrove/record.hpp - the stored form of a record: one compact, immutable,
// reference-counted allocation, shared by every holder of equal contents.
//
// Installed because the lending side of netrove/engine.hpp shows a stored
// record as a RecordView and holds one as a HeldRecord (a RecordRef); the
// intern table and the block builder behind it are engine/src/record/.
//
// A Metadata (a std::string and a hash map) costs over a hundred bytes and
// several allocations; engines keep one per prefix.  What they keep instead
// is a StoredRecord, the value text and the attribute pairs side by side in
// one block, each text behind its length as a LEB128 varint (one byte below
// 128).  The pair count shares a word with the hash: its low byte, or 255
// and then the count as a varint at the start of the body:
//
//   +--------+--------------+------------+------------+-------------+-------------+-----+
//   | owners | hash24|count8| next       | host       | [count var] | len value   | ... |
//   | u32    | u32          | intern link| embedder's | if count8 = | var bytes   |     |
//   |        |              |            | objects    | 255         |             |     |
//   +--------+--------------+------------+------------+-------------+-------------+-----+
//   0        4              8            16           24            then: len k1 k1 len v1 v1 ...
//
// A record of a value of up to 7 bytes and no attributes ("r123456") takes
// 32 bytes.  `host` is the embedding layer's: the Python module hangs the
// objects it builds for a record there (its value str, its attribute dict
// template), made once and shared by every answer, and the library hands
// them to the embedder's release hook when the block is freed.  The pairs keep the
// iteration order of the map the record was made from, so lending a stored
// record shows its attributes in the order a copy of that map would (the
// order is unspecified either way, see metadata.hpp).
//
// Interning.  Real tables repeat a few thousand distinct records over a
// million prefixes, so equal records share one block: RecordRef::intern
// looks the contents up in a process-wide table of weak entries (striped by
// hash, each stripe one short-held leaf lock and a chained hash table
// linked through `next`, so an entry costs a bucket word and nothing else)
// and shares the live block it finds, or stores a new one.  Equality is
// that of Metadata: same value, same set of pairs, order ignored; the hash
// is order-independent too.
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
#include <string>
#include <string_view>
#include <utility>

#include "netrove/metadata.hpp"

namespace netrove {

/// One stored record (layout above).  Created only by RecordRef::intern;
/// immutable from then on (but `next`, the intern table's, under its lock);
/// freed after a grace period once `owners` hits 0.
struct StoredRecord {
  static constexpr std::uint32_t kCountEscape = 255;  // count8 value: the count is in the body

  std::atomic<std::uint32_t> owners{1};
  std::uint32_t meta = 0;        // hash24 << 8 | count8 (layout above)
  StoredRecord* next = nullptr;  // intern table chain
  /// The embedder's objects for this record, or null (see
  /// set_record_host_release).  Set at most once while the block is alive.
  std::atomic<void*> host{nullptr};

  /// The order-independent content hash, 24 bits.
  std::uint32_t hash24() const noexcept { return meta >> 8; }
  /// The varint-coded body after the header.
  const unsigned char* body() const noexcept { return reinterpret_cast<const unsigned char*>(this + 1); }
  /// Reads the pair count into `n`; returns where the value's length starts.
  const unsigned char* count(std::uint32_t& n) const noexcept;
};
static_assert(sizeof(StoredRecord) == 24 && alignof(StoredRecord) == 8, "a 24-byte header before the body");
static_assert(std::is_standard_layout_v<StoredRecord>);

/// Reads one LEB128 length at `p` into `n`; returns what follows it.
inline const unsigned char* read_varint(const unsigned char* p, std::uint32_t& n) noexcept {
  std::uint32_t v = 0;
  for (unsigned shift = 0;; shift += 7) {
    const unsigned char b = *p++;
    v |= static_cast<std::uint32_t>(b & 0x7Fu) << shift;
    if (!(b & 0x80u)) break;
  }
  n = v;
  return p;
}

inline const unsigned char* StoredRecord::count(std::uint32_t& n) const noexcept {
  n = meta & 0xFFu;
  return n == kCountEscape ? read_varint(body(), n) : body();
}

/// Reads a length and the text behind it; returns what follows the text.
inline const unsigned char* read_text(const unsigned char* p, std::string_view& s) noexcept {
  std::uint32_t n;
  p = read_varint(p, n);
  s = {reinterpret_cast<const char*>(p), n};
  return p + n;
}

/// What frees an embedder's objects hung on a record (StoredRecord::host).
/// Called once per freed block whose `host` is set, on whatever thread frees
/// it (after the block's grace period, outside every read section and lock
/// of the library); it must not block and must not call into the library.
using RecordHostRelease = void (*)(void* host) noexcept;
/// Installs the release hook (null: none).  Set it before any `host` is set
/// and leave it in place for as long as such records may be freed.
void set_record_host_release(RecordHostRelease release) noexcept;

/// Drops one owner of `r`; the last one takes it out of the intern table and
/// retires it.  Any thread, under any lock but the intern table's.
void release_record(StoredRecord* r) noexcept;
/// Adds an owner unless the count already reached zero (`r` is dying).
bool try_share_record(StoredRecord* r) noexcept;

/// A read-only view of a stored record, valid while the block is: for a
/// lent record, only during the visit (see RecordLender).  One word.
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
    using pointer = const Pair*;
    using reference = const Pair&;

    iterator() noexcept = default;
    const Pair& operator*() const noexcept { return cur_; }
    const Pair* operator->() const noexcept { return &cur_; }
    iterator& operator++() noexcept {
      --left_;
      decode();
      return *this;
    }
    iterator operator++(int) noexcept {
      iterator old = *this;
      ++*this;
      return old;
    }
    /// Iterators of one record compare by the pairs left.
    friend bool operator==(const iterator& a, const iterator& b) noexcept { return a.left_ == b.left_; }

   private:
    friend class RecordView;
    iterator(const unsigned char* p, std::uint32_t left) noexcept : next_(p), left_(left) { decode(); }
    void decode() noexcept {
      if (left_ != 0) next_ = read_text(read_text(next_, cur_.first), cur_.second);
    }
    const unsigned char* next_ = nullptr;  // the pair after cur_
    std::uint32_t left_ = 0;               // pairs from cur_ on
    Pair cur_;
  };

  explicit RecordView(const StoredRecord& r) noexcept : r_(&r) {}

  std::string_view value() const noexcept {
    std::uint32_t n;
    std::string_view v;
    read_text(r_->count(n), v);
    return v;
  }
  /// Number of attribute pairs.
  std::size_t size() const noexcept {
    std::uint32_t n;
    r_->count(n);
    return n;
  }
  iterator begin() const noexcept {
    std::uint32_t n;
    std::string_view v;
    const unsigned char* pairs = read_text(r_->count(n), v);
    return {pairs, n};
  }
  iterator end() const noexcept { return {}; }

  /// The caller's own copy (a new attribute map with a fresh seed).
  Metadata to_metadata() const;
  /// The stored block behind the view.
  const StoredRecord& stored() const noexcept { return *r_; }

 private:
  const StoredRecord* r_;
};

/// A record's contents seen where they already are: the value and the
/// attribute pairs as views into texts the caller owns (a binding's string
/// objects, a snapshot's bytes).  Interning one builds no Metadata and
/// copies no text unless the record is new.  Keys must be distinct.
struct RecordSource {
  std::string_view value;
  const std::pair<std::string_view, std::string_view>* pairs = nullptr;
  std::size_t count = 0;

  const std::pair<std::string_view, std::string_view>* begin() const noexcept { return pairs; }
  const std::pair<std::string_view, std::string_view>* end() const noexcept { return pairs + count; }
};

/// Same value and same set of attribute pairs (order ignored), as Metadata's ==.
bool same_contents(RecordView a, const Metadata& b) noexcept;
bool same_contents(RecordView a, RecordView b) noexcept;
bool same_contents(RecordView a, const RecordSource& b) noexcept;

/// An owning handle: one share of a stored record, or nothing.  Copying
/// shares, destruction releases.  One word.
class RecordRef {
 public:
  RecordRef() noexcept = default;
  /// The shared block of these contents (a new one when none is alive).
  static RecordRef intern(const Metadata& m);
  static RecordRef intern(RecordView v);
  /// The same from views: hashed and probed in place, the block built
  /// (the texts copied) only when no equal one is alive.
  static RecordRef intern(const RecordSource& s);
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
  /// Adds n shares of the block at once, for n handles the caller made
  /// with adopt() ahead of counting them (this handle keeps the block
  /// alive meanwhile).  Precondition: not empty.
  void add_shares(std::uint32_t n) const noexcept { p_->owners.fetch_add(n, std::memory_order_relaxed); }
  /// Precondition: not empty.
  RecordView view() const noexcept { return RecordView(*p_); }
  StoredRecord* get() const noexcept { return p_; }
  /// Hands the share to the caller (the handle becomes empty).
  StoredRecord* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  StoredRecord* p_ = nullptr;
};
static_assert(sizeof(RecordRef) == sizeof(void*));

/// The JSON text of a stored record, written as to_json(Metadata) writes
/// it (attributes in stored order).
std::string to_json(RecordView record);

/// Stored records alive now (shared blocks once) and their block bytes as
/// requested from malloc.
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
