// load/origin_records.hpp - the record of each origins field of a
// prefix-to-AS table, found again by its text.
//
// A full table names some 70,000 origins on a million lines, so finding the
// record of a line's field is the loader's innermost step.  The texts are
// keyed in a flat, linearly probed table, at most half full, whose slot
// holds the record itself, so that a line costs one cache line of it:
//
//   slots_:  [ key | record | size | uses ] [ 0 | null | 0 | 0 ] ...   24 bytes each
//              key:    the text's bytes, zero padded, when it has at most 8
//                      (an AS number has at most 10 digits, most 5 or fewer);
//                      else where the text starts in texts_
//              record: one share the table owns; null marks a free slot
//              uses:   shares handed out and not yet counted (see below)
//   texts_:  every text longer than 8 bytes, one after another
//
// The line before is checked first: neighbouring prefixes often share
// their origin.
//
// Shares are counted in bulk.  append() hands out a handle without touching
// the record's count (a cold line per call); the destructor adds every
// handed-out share at once.  Until then the table's own share keeps each
// record alive, so no handle may be released while the table lives: the
// readers only append them to their output, which outlives the table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "netrove/record.hpp"

namespace netrove::load {

class OriginRecords {
 public:
  OriginRecords();
  ~OriginRecords();
  OriginRecords(const OriginRecords&) = delete;
  OriginRecords& operator=(const OriginRecords&) = delete;

  /// Appends to `out` a share of the record of the origins field
  /// `origins`: value its first '_'-separated element, attribute "origins"
  /// the field as written.  Counted when the table is destroyed (see
  /// above), so `out` must outlive the table.  Throws what interning or
  /// growing `out` throws, with nothing appended.
  void append(std::string_view origins, std::vector<RecordRef>& out);

 private:
  static constexpr std::size_t kNone = ~std::size_t{0};

  struct Slot {
    std::uint64_t key;
    StoredRecord* record;
    std::uint32_t size;
    std::uint32_t uses;
  };
  static_assert(sizeof(Slot) == 24);

  /// The index of the slot of `origins`, its record made when new.
  std::size_t find_or_add(std::string_view origins, std::uint64_t head);
  /// Whether slot `s` holds `origins`, whose first 8 bytes are `head`.
  bool holds(const Slot& s, std::string_view origins, std::uint64_t head) const noexcept;
  /// The text of slot `s`.
  std::string_view text_of(const Slot& s, char (&head)[8]) const noexcept;
  void grow();

  std::vector<Slot> slots_;
  unsigned shift_;  // 64 - log2(slots_.size())
  std::size_t used_ = 0;
  std::string texts_;
  std::size_t last_ = kNone;  // the slot of the line before
};

}  // namespace netrove::load
