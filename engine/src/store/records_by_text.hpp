// store/records_by_text.hpp - the record of each JSON text of a fetched
// hash, made once and found again by its text.
//
// A table fetched from Redis is a million pairs whose values repeat (one
// record per origin, say): each distinct text is parsed and interned once.
// The texts are found through a flat, linearly probed table, at most half
// full, of 24-byte slots; each entry keeps its text in one shared buffer:
//
//   slots_:   [ hash | text at | size | entry+1 ] [ 0 | 0 | 0 | 0 ] ...   24 bytes
//   entries_: [ record (null: the text is no record) ] ...
//   texts_:   every distinct text, one after another
//
// A probe compares the full 64-bit hash first, so a text is compared only
// with one it almost surely equals: a lookup reads one slot and one text.
//
// Shares are counted in bulk: share() hands out a handle without touching
// the record's count (a cold line for each of a million pairs), and the
// destructor adds every handed-out share at once.  Until then the table's
// own share keeps each record alive, so no handle it gave may be released
// while it lives.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "netrove/record.hpp"

namespace netrove {

class RecordsByText {
 public:
  /// Makes the record of a text that is new; a null record marks a text
  /// that is no record (it is not made again).
  using Make = std::function<RecordRef(std::string_view)>;

  explicit RecordsByText(Make make) : make_(std::move(make)), slots_(std::size_t{1} << 12), shift_(64 - 12) {}
  ~RecordsByText() {
    for (std::size_t i = 0; i < entries_.size(); ++i)
      if (uses_[i]) entries_[i].add_shares(uses_[i]);
  }
  RecordsByText(const RecordsByText&) = delete;
  RecordsByText& operator=(const RecordsByText&) = delete;

  /// The index of the entry of `text`, made (with make) when new.  Throws
  /// what make or memory allocation throws, with nothing added.
  std::uint32_t find_or_add(std::string_view text) {
    const std::uint64_t h = hash_of(text);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h >> shift_;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.entry == 0) break;
      if (s.hash == h && std::string_view(texts_).substr(s.at, s.size) == text) return s.entry - 1;
    }
    constexpr std::size_t kMax = std::numeric_limits<std::uint32_t>::max();
    if (text.size() > kMax - texts_.size() || entries_.size() >= kMax / 2) throw std::length_error("texts too long");
    RecordRef record = make_(text);
    if ((entries_.size() + 1) * 2 > slots_.size()) grow();
    if (entries_.size() == entries_.capacity()) {  // room first: nothing below throws
      entries_.reserve(entries_.size() * 2 + 64);
      uses_.reserve(entries_.capacity());
    }
    const Slot slot{h, static_cast<std::uint32_t>(texts_.size()), static_cast<std::uint32_t>(text.size()),
                    static_cast<std::uint32_t>(entries_.size() + 1)};
    texts_.append(text);
    entries_.push_back(std::move(record));
    uses_.push_back(0);
    place(slot);
    return static_cast<std::uint32_t>(entries_.size() - 1);
  }

  /// Whether entry `i`'s text is a record.
  bool is_record(std::uint32_t i) const noexcept { return static_cast<bool>(entries_[i]); }
  /// A share of entry `i`'s record (precondition: is_record(i)), counted
  /// when the table is destroyed (see above).
  RecordRef share(std::uint32_t i) noexcept {
    if (uses_[i] == std::numeric_limits<std::uint32_t>::max()) {
      entries_[i].add_shares(uses_[i]);
      uses_[i] = 0;
    }
    ++uses_[i];
    return RecordRef::adopt(entries_[i].get());
  }

 private:
  struct Slot {
    std::uint64_t hash;
    std::uint32_t at, size;  // the text in texts_
    std::uint32_t entry;     // index into entries_ plus one; 0: free
  };
  static_assert(sizeof(Slot) == 24);

  static std::uint64_t hash_of(std::string_view text) noexcept {
    // The library's string hash, stirred so that its top bits (the slot)
    // depend on all of it.
    const std::uint64_t h = std::hash<std::string_view>{}(text) * 0x9E3779B97F4A7C15ull;
    return h ^ (h >> 31);
  }
  void place(const Slot& s) noexcept {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = s.hash >> shift_;
    while (slots_[i].entry != 0) i = (i + 1) & mask;
    slots_[i] = s;
  }
  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    --shift_;
    for (const Slot& s : old)
      if (s.entry != 0) place(s);
  }

  Make make_;
  std::vector<Slot> slots_;
  unsigned shift_;
  std::vector<RecordRef> entries_;
  std::vector<std::uint32_t> uses_;  // per entry: shares handed out, not yet counted
  std::string texts_;
};

}  // namespace netrove
