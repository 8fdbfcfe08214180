// The mrt format: BGP routing table dumps (RFC 6396), as RouteViews and
// RIPE RIS publish them.
//
// A record (all numbers big-endian):
//
//   +-----------+------+---------+--------+----------------------------+
//   | timestamp | type | subtype | length | message (length bytes)     |
//   | u32       | u16  | u16     | u32    |                            |
//   +-----------+------+---------+--------+----------------------------+
//
//   type 13 TABLE_DUMP_V2, subtype 2 RIB_IPV4_UNICAST, 4 RIB_IPV6_UNICAST,
//   8 and 10 their ADD-PATH forms (RFC 8050):
//     sequence u32, prefix length u8, prefix (ceil(len / 8) bytes),
//     entry count u16, entries:
//       peer index u16, originated u32, [path id u32], attr length u16, attrs
//   type 12 TABLE_DUMP, subtype 1 AFI_IPv4, 2 AFI_IPv6 (one entry a record):
//     view u16, sequence u16, prefix (4 or 16 bytes), length u8, status u8,
//     originated u32, peer address (4 or 16 bytes), peer AS u16,
//     attr length u16, attrs
//   every other type and subtype (PEER_INDEX_TABLE, multicast, RIB_GENERIC,
//   BGP4MP, ...): skipped.
//
// A BGP path attribute: flags u8 (0x10: extended length), type u8, length
// u8 or u16, value.  AS_PATH (type 2) is segments: type u8 (1 AS_SET,
// 2 AS_SEQUENCE, 3 and 4 their confederation forms), count u8, ASNs of 4
// bytes (TABLE_DUMP_V2) or 2 (TABLE_DUMP).
//
// Origins.  An entry's origin is the last AS of the last segment of its
// path that is not a confederation segment: an AS_SEQUENCE gives that AS,
// an AS_SET gives "{a,b}" in the path's order; a path without one gives no
// origin.  Per prefix, over every entry of every record of the file:
//   value    the origin most entries carry; a tie goes to the origin whose
//            first entry has the lowest key (peer index, then file order;
//            TABLE_DUMP has no peer index: file order alone)
//   origins  every distinct origin in that order, space-separated
//   peers    the number of entries
// A prefix no entry of which has an origin has the value "".
//
// Every length is checked against what contains it before anything is
// read, so a truncated or corrupt file is an error naming its byte offset.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "load/readers.hpp"

namespace netrove::load {

namespace {

constexpr std::uint16_t kTableDump = 12, kTableDumpV2 = 13;

/// One origin's tally in one prefix.
struct Tally {
  std::uint32_t origin;  // index into the origin texts
  std::uint32_t count;
  std::uint64_t first;   // the lowest key of its entries
};

/// A prefix as a map key: address, family, length.
using Key = std::array<std::uint8_t, 18>;
struct KeyHash {
  std::size_t operator()(const Key& k) const noexcept {
    std::uint64_t a, b;
    std::memcpy(&a, k.data(), 8);
    std::memcpy(&b, k.data() + 8, 8);
    std::uint64_t h = (a * 0x9e3779b97f4a7c15ull) ^ (b + (std::uint64_t{k[16]} << 8 | k[17])) * 0xbf58476d1ce4e5b9ull;
    return static_cast<std::size_t>(h ^ (h >> 29));
  }
};

struct PrefixTally {
  IpPrefix prefix;
  std::uint32_t entries = 0;
  std::vector<Tally> tallies;
};

/// The bytes of one record or a part of it, read with bounds checks.
class Cursor {
 public:
  Cursor(std::string_view bytes, std::uint64_t at, const std::string& source)
      : p_(reinterpret_cast<const unsigned char*>(bytes.data())), n_(bytes.size()), at_(at), source_(source) {}

  bool empty() const noexcept { return i_ == n_; }
  std::uint8_t u8() { return need(1), p_[i_++]; }
  std::uint16_t u16() {
    need(2);
    const std::uint16_t v = static_cast<std::uint16_t>(p_[i_] << 8 | p_[i_ + 1]);
    i_ += 2;
    return v;
  }
  std::uint32_t u32() {
    need(4);
    const std::uint32_t v = std::uint32_t{p_[i_]} << 24 | std::uint32_t{p_[i_ + 1]} << 16 |
                            std::uint32_t{p_[i_ + 2]} << 8 | p_[i_ + 3];
    i_ += 4;
    return v;
  }
  void bytes(unsigned char* out, std::size_t k) {
    need(k);
    std::memcpy(out, p_ + i_, k);
    i_ += k;
  }
  void skip(std::size_t k) { need(k), i_ += k; }
  /// The next `k` bytes as a cursor of their own.
  Cursor sub(std::size_t k) {
    need(k);
    Cursor c({reinterpret_cast<const char*>(p_ + i_), k}, at_ + i_, source_);
    i_ += k;
    return c;
  }
  [[noreturn]] void fail(const std::string& what) const {
    throw LoadError(LoadError::Kind::format, source_ + ": at byte " + std::to_string(at_ + i_) + ": " + what);
  }

 private:
  void need(std::size_t k) const {
    if (k > n_ - i_) fail("a field runs past the end of its record");
  }
  const unsigned char* p_;
  std::size_t n_, i_ = 0;
  std::uint64_t at_;
  const std::string& source_;
};

class MrtReader {
 public:
  MrtReader(Lines& in, LoadedTable& out) : in_(in), out_(out) {}

  void run() {
    for (;;) {
      const std::uint64_t at = in_.offset();
      const std::string_view head = in_.take(12);
      if (head.empty()) break;
      Cursor h(head, at, in_.name());
      if (head.size() < 12) h.fail("the file ends inside a record header");
      h.skip(4);
      const std::uint16_t type = h.u16(), subtype = h.u16();
      const std::uint32_t length = h.u32();
      if (length > (16u << 20)) h.fail("a record of " + std::to_string(length) + " bytes");
      const std::string_view body = in_.take(length);
      Cursor c(body, at + 12, in_.name());
      if (body.size() < length) c.fail("the file ends inside a record");
      if (type == kTableDumpV2 && (subtype == 2 || subtype == 4 || subtype == 8 || subtype == 10))
        rib_v2(c, subtype == 4 || subtype == 10 ? kIpv6 : kIpv4, subtype >= 8);
      else if (type == kTableDump && (subtype == 1 || subtype == 2))
        table_dump(c, subtype == 2 ? kIpv6 : kIpv4);
    }
    finish();
  }

 private:
  static constexpr std::uint64_t kNoPeer = 0;  // TABLE_DUMP: file order alone

  void rib_v2(Cursor& c, std::uint8_t family, bool add_path) {
    c.skip(4);  // sequence
    const IpPrefix prefix = read_prefix(c, family);
    const std::uint16_t count = c.u16();
    PrefixTally& t = tally_of(prefix);
    for (std::uint16_t i = 0; i < count; ++i) {
      const std::uint16_t peer = c.u16();
      c.skip(4);  // originated
      if (add_path) c.skip(4);
      const std::uint16_t attr_length = c.u16();
      Cursor attrs = c.sub(attr_length);
      count_entry(t, origin_of(attrs, 4), std::uint64_t{peer} << 40 | order_++);
    }
  }

  void table_dump(Cursor& c, std::uint8_t family) {
    c.skip(4);  // view, sequence
    IpPrefix prefix;
    prefix.family = family;
    c.bytes(prefix.address.data(), family == kIpv4 ? 4 : 16);
    prefix.length = c.u8();
    if (prefix.length > family_bits(family)) c.fail("a prefix length of " + std::to_string(prefix.length));
    c.skip(1 + 4 + (family == kIpv4 ? 4 : 16) + 2);  // status, originated, peer address, peer AS
    const std::uint16_t attr_length = c.u16();
    Cursor attrs = c.sub(attr_length);
    count_entry(tally_of(prefix.network()), origin_of(attrs, 2), kNoPeer << 40 | order_++);
  }

  static IpPrefix read_prefix(Cursor& c, std::uint8_t family) {
    IpPrefix p;
    p.family = family;
    p.length = c.u8();
    if (p.length > family_bits(family)) c.fail("a prefix length of " + std::to_string(p.length));
    c.bytes(p.address.data(), (p.length + 7u) / 8u);
    return p.network();
  }

  /// The origin of an entry's attributes (see the top), or -1 for none.
  std::int64_t origin_of(Cursor& attrs, unsigned asn_bytes) {
    while (!attrs.empty()) {
      const std::uint8_t flags = attrs.u8(), type = attrs.u8();
      const std::size_t length = flags & 0x10 ? attrs.u16() : attrs.u8();
      Cursor value = attrs.sub(length);
      if (type != 2) continue;
      // The origin: the last AS of the last AS_SEQUENCE, or the last
      // AS_SET written out, whichever segment comes last.  A sequence's
      // AS stays a number (most paths end in one): its text is made only
      // the first time it is met.
      std::int64_t asn_origin = -1;
      bool set_origin = false;
      while (!value.empty()) {
        const std::uint8_t seg = value.u8(), n = value.u8();
        if (seg < 1 || seg > 4) value.fail("an AS_PATH segment of type " + std::to_string(seg));
        if (seg != 1 || n == 0) {  // a sequence, or a segment that gives no origin
          std::uint32_t last = 0;
          for (unsigned i = 0; i < n; ++i) last = asn_bytes == 4 ? value.u32() : value.u16();
          if (seg == 2 && n > 0) asn_origin = last, set_origin = false;
          continue;
        }
        set_text_.clear();
        for (unsigned i = 0; i < n; ++i) {
          const std::uint32_t asn = asn_bytes == 4 ? value.u32() : value.u16();
          set_text_ += (i ? "," : "{") + std::to_string(asn);
        }
        set_text_ += "}";
        set_origin = true, asn_origin = -1;
      }
      if (set_origin) return origin_id(set_text_);
      if (asn_origin < 0) return -1;
      return asn_origin_id(static_cast<std::uint32_t>(asn_origin));
    }
    return -1;
  }

  std::uint32_t asn_origin_id(std::uint32_t asn) {
    const auto [it, fresh] = asn_ids_.try_emplace(asn, 0);
    if (fresh) it->second = origin_id(std::to_string(asn));
    return it->second;
  }

  std::uint32_t origin_id(const std::string& text) {
    const auto [it, fresh] = origin_ids_.try_emplace(text, static_cast<std::uint32_t>(origins_.size()));
    if (fresh) origins_.push_back(text);
    return it->second;
  }

  PrefixTally& tally_of(const IpPrefix& p) {
    Key key;
    std::memcpy(key.data(), p.address.data(), 16);
    key[16] = p.family;
    key[17] = p.length;
    const auto [it, fresh] = index_.try_emplace(key, tallies_.size());
    if (fresh) tallies_.push_back(PrefixTally{p, 0, {}});
    return tallies_[it->second];
  }

  static void count_entry(PrefixTally& t, std::int64_t origin, std::uint64_t key) {
    ++t.entries;
    if (origin < 0) return;
    for (Tally& x : t.tallies)
      if (x.origin == origin) {
        ++x.count;
        x.first = std::min(x.first, key);
        return;
      }
    t.tallies.push_back(Tally{static_cast<std::uint32_t>(origin), 1, key});
  }

  void finish() {
    std::string origins, peers;
    for (PrefixTally& t : tallies_) {
      std::sort(t.tallies.begin(), t.tallies.end(), [](const Tally& a, const Tally& b) {
        return a.count != b.count ? a.count > b.count : a.first < b.first;
      });
      origins.clear();
      for (const Tally& x : t.tallies) origins += (origins.empty() ? "" : " ") + origins_[x.origin];
      peers = std::to_string(t.entries);
      const std::pair<std::string_view, std::string_view> pairs[] = {{"origins", origins}, {"peers", peers}};
      const std::string_view value = t.tallies.empty() ? std::string_view{} : std::string_view(origins_[t.tallies[0].origin]);
      out_.prefixes.push_back(t.prefix);
      out_.records.push_back(RecordRef::intern(RecordSource{value, pairs, 2}));
    }
  }

  Lines& in_;
  LoadedTable& out_;
  std::vector<PrefixTally> tallies_;
  std::unordered_map<Key, std::size_t, KeyHash> index_;
  std::vector<std::string> origins_;
  std::unordered_map<std::string, std::uint32_t> origin_ids_;
  std::unordered_map<std::uint32_t, std::uint32_t> asn_ids_;  // a sequence's last AS: its origin id
  std::string set_text_;  // the last AS_SET of the path being read
  std::uint64_t order_ = 0;
};

}  // namespace

void read_mrt(Lines& lines, LoadedTable& out) { MrtReader(lines, out).run(); }

bool looks_like_mrt(std::string_view head) noexcept {
  if (head.size() < 12) return false;
  const auto* b = reinterpret_cast<const unsigned char*>(head.data());
  const unsigned type = b[4] << 8 | b[5], subtype = b[6] << 8 | b[7];
  const std::uint32_t length = std::uint32_t{b[8]} << 24 | std::uint32_t{b[9]} << 16 | std::uint32_t{b[10]} << 8 | b[11];
  const bool known = type == 11 || type == 12 || type == 13 || type == 16 || type == 17 || type == 32 || type == 33 ||
                     type == 48 || type == 49;
  return known && subtype < 64 && length <= (16u << 20);
}

}  // namespace netrove::load
