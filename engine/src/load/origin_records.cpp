#include "load/origin_records.hpp"

#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <utility>

namespace netrove::load {

namespace {

constexpr unsigned kFirstBits = 12;  // 4,096 slots to start with

/// The first 8 bytes of `s`, zero padded, byte i in bits 8i.
std::uint64_t head_of(std::string_view s) noexcept {
  std::uint64_t h = 0;
  const std::size_t n = s.size() < 8 ? s.size() : 8;
  for (std::size_t i = 0; i < n; ++i) h |= std::uint64_t{static_cast<unsigned char>(s[i])} << (8 * i);
  return h;
}

/// The slot hash: a multiplicative mix of head and size, the rest of a
/// longer text mixed in through the library's string hash.  The table
/// takes the top bits, which the multiplication stirs best.
std::uint64_t hash_of(std::uint64_t head, std::string_view s) noexcept {
  std::uint64_t h = (head + s.size() * 0x9E3779B97F4A7C15ull) * 0xD6E8FEB86659FD93ull;
  if (s.size() > 8) h = (h ^ std::hash<std::string_view>{}(s.substr(8))) * 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 29);
}

}  // namespace

OriginRecords::OriginRecords() : slots_(std::size_t{1} << kFirstBits), shift_(64 - kFirstBits) {}

OriginRecords::~OriginRecords() {
  // Every handed-out share counted, then the table's own released.
  for (const Slot& s : slots_) {
    if (!s.record) continue;
    const RecordRef own = RecordRef::adopt(s.record);
    if (s.uses) own.add_shares(s.uses);
  }
}

bool OriginRecords::holds(const Slot& s, std::string_view origins, std::uint64_t head) const noexcept {
  if (s.size != origins.size()) return false;
  if (origins.size() <= 8) return s.key == head;
  return std::memcmp(texts_.data() + s.key, origins.data(), origins.size()) == 0;
}

std::string_view OriginRecords::text_of(const Slot& s, char (&head)[8]) const noexcept {
  if (s.size > 8) return std::string_view(texts_).substr(s.key, s.size);
  for (unsigned b = 0; b < s.size; ++b) head[b] = static_cast<char>(s.key >> (8 * b));
  return {head, s.size};
}

void OriginRecords::append(std::string_view origins, std::vector<RecordRef>& out) {
  const std::uint64_t head = head_of(origins);
  // 1. The line before named the same origins: no probe at all.
  // 2. Otherwise the flat table (a slot and a record made when new).
  if (last_ == kNone || !holds(slots_[last_], origins, head)) last_ = find_or_add(origins, head);
  // Room first, so that nothing can throw between handing out an uncounted
  // share and counting it.
  if (out.size() == out.capacity()) out.reserve(out.capacity() ? out.capacity() * 2 : 1024);
  Slot& s = slots_[last_];
  if (s.uses == std::numeric_limits<std::uint32_t>::max()) {
    RecordRef::adopt(s.record).add_shares(s.uses);
    s.uses = 0;
  }
  out.push_back(RecordRef::adopt(s.record));
  ++s.uses;
}

std::size_t OriginRecords::find_or_add(std::string_view origins, std::uint64_t head) {
  // Room for one more first, so that the table stays at most half full
  // (it may grow a step early, when the text turns out to be there).
  if ((used_ + 1) * 2 > slots_.size()) grow();
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash_of(head, origins) >> shift_;; i = (i + 1) & mask) {
    Slot& s = slots_[i];
    if (s.record) {
      if (holds(s, origins, head)) return i;
      continue;
    }
    // New text: its record interned, its text kept when longer than a
    // key, then the slot taken.
    if (origins.size() > std::numeric_limits<std::uint32_t>::max() - texts_.size())
      throw std::length_error("origins texts too long");
    const std::pair<std::string_view, std::string_view> pair{"origins", origins};
    RecordRef record = RecordRef::intern(RecordSource{origins.substr(0, origins.find('_')), &pair, 1});
    std::uint64_t key = head;
    if (origins.size() > 8) {
      key = texts_.size();
      texts_.append(origins);
    }
    s = Slot{key, record.release(), static_cast<std::uint32_t>(origins.size()), 0};
    ++used_;
    return i;
  }
}

void OriginRecords::grow() {
  std::vector<Slot> old(slots_.size() * 2);
  std::swap(old, slots_);
  --shift_;
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (!s.record) continue;
    char head[8];
    const std::string_view text = text_of(s, head);
    std::size_t i = hash_of(head_of(text), text) >> shift_;
    while (slots_[i].record) i = (i + 1) & mask;
    slots_[i] = s;
  }
  last_ = kNone;
}

}  // namespace netrove::load
