// RangeTable (range_table.hpp): the sweep and the lookup.
//
// The sweep, per family, over entries i in order with a stack of open
// prefixes (their last addresses) and `pos`, the first address whose range
// is not yet written:
//   1. pop every open prefix that ends before entry i starts, writing the
//      range from pos to its end (if any is left) as its own;
//   2. the addresses from pos up to entry i's start belong to the prefix
//      now on top (or to none): write that range;
//   3. push entry i; its range starts at pos = its start, written by a
//      later step 1 or 2;
//   4. at the end pop everything as in 1, then write the rest as none.
// A range is written only where it starts a new owner, so neighbours with
// the same owner merge.  Once a prefix reaching the family's last address
// is popped, every address has its range.
#include "range/range_table.hpp"

#include <algorithm>
#include <stdexcept>

#include "trie/trie_key.hpp"

namespace netrove::range {

namespace {

using trie::u128;

template <class K>
constexpr unsigned kBits = sizeof(K) * 8;

/// The first and the last address of `p` as a key of its family.
template <class K>
void bounds(const IpPrefix& p, K& first, K& last) {
  K key;
  if constexpr (sizeof(K) == 4) {
    key = (K{p.address[0]} << 24) | (K{p.address[1]} << 16) | (K{p.address[2]} << 8) | K{p.address[3]};
  } else {
    key = trie::load_key(p.address.data());
  }
  // A length of 0 covers everything: shifting by the full width is
  // undefined, so the mask of host bits is built in two steps.
  const K host = p.length == 0 ? ~K{0} : (K{1} << (kBits<K> - p.length)) - 1;
  first = key & ~host;
  last = first | host;
}

}  // namespace

template <class K>
void RangeTable::Ranges<K>::build(const IpPrefix* prefixes, std::size_t n, std::size_t first_index) {
  struct Open {
    K last;
    Owner owner;
  };
  std::vector<Open> open;
  K pos = 0;
  bool done = false;  // every address has its range
  auto write = [&](K start, Owner owner) {
    if (!owners.empty() && owners.back().entry == owner.entry) return;
    starts.push_back(start);
    owners.push_back(owner);
  };
  auto pop_until = [&](bool all, K start) {
    while (!open.empty() && (all || open.back().last < start)) {
      const Open top = open.back();
      open.pop_back();
      if (done || pos > top.last) continue;
      write(pos, top.owner);
      if (top.last == ~K{0}) done = true;
      else pos = top.last + 1;
    }
  };
  K prev_first = 0;
  unsigned prev_length = 0;
  for (std::size_t i = 0; i < n; ++i) {
    K first, last;
    bounds(prefixes[i], first, last);
    if (i > 0 && (first < prev_first || (first == prev_first && prefixes[i].length <= prev_length)))
      throw std::invalid_argument("range table: prefixes out of order or repeated");
    prev_first = first;
    prev_length = prefixes[i].length;
    pop_until(false, first);                                          // 1.
    if (!done && pos < first) write(pos, open.empty() ? Owner{} : open.back().owner), pos = first;  // 2.
    open.push_back({last, {static_cast<std::uint32_t>(first_index + i), prefixes[i].length}});  // 3.
  }
  pop_until(true, 0);  // 4.
  if (!done) write(pos, Owner{});
  if (starts.empty() || starts.front() != 0) {  // only when no range was written at 0: n == 0
    starts.insert(starts.begin(), K{0});
    owners.insert(owners.begin(), Owner{});
  }
  buckets.assign(65537, 0);
  std::size_t r = 0;
  for (std::uint32_t h = 0; h < 65536; ++h) {
    const K bucket_start = static_cast<K>(K{h} << (kBits<K> - 16));
    while (r < starts.size() && starts[r] < bucket_start) ++r;
    buckets[h] = static_cast<std::uint32_t>(r);
  }
  buckets[65536] = static_cast<std::uint32_t>(starts.size());
}

template <class K>
std::uint32_t RangeTable::Ranges<K>::bucket_of(K key) const noexcept {
  const auto h = static_cast<std::uint32_t>(key >> (kBits<K> - 16));
  __builtin_prefetch(&buckets[h]);
  return h;
}

template <class K>
void RangeTable::Ranges<K>::prefetch_ranges(std::uint32_t h) const noexcept {
  // The search reads the starts from the range before the bucket's first:
  // the line holding it and the next one hold most buckets' whole run.
  const K* lo = starts.data() + (buckets[h] == 0 ? 0 : buckets[h] - 1);
  __builtin_prefetch(lo);
  __builtin_prefetch(reinterpret_cast<const char*>(lo) + 64);
}

template <class K>
std::uint32_t RangeTable::Ranges<K>::range_of(K key, std::uint32_t h) const noexcept {
  const K* lo = starts.data() + (buckets[h] == 0 ? 0 : buckets[h] - 1);
  const K* hi = starts.data() + buckets[h + 1];
  const K* after = std::upper_bound(lo, hi, key);  // first start above key; lo's start is <= key
  const auto r = static_cast<std::uint32_t>(after - starts.data()) - 1;
  __builtin_prefetch(&owners[r]);
  return r;
}

template <class K>
std::uint32_t RangeTable::Ranges<K>::find(K key) const noexcept {
  return owners[range_of(key, static_cast<std::uint32_t>(key >> (kBits<K> - 16)))].entry;
}

namespace {

std::uint32_t v4_key(const IpAddress& a) noexcept {
  const std::uint8_t* b = a.bytes.data();
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

}  // namespace

template <class K>
IpPrefix RangeTable::Ranges<K>::prefix_of(std::uint32_t r, std::uint8_t family) const noexcept {
  // The owner covers the range, so its network is the range's first
  // address with the bits past its length cleared.
  const std::uint32_t length = owners[r].length;
  const K host = length == 0 ? ~K{0} : (K{1} << (kBits<K> - length)) - 1;
  const K net = starts[r] & ~host;
  IpPrefix p{family, {}, static_cast<std::uint8_t>(length)};
  if constexpr (sizeof(K) == 4) {
    for (int i = 0; i < 4; ++i) p.address[i] = static_cast<std::uint8_t>(net >> (24 - 8 * i));
  } else {
    p.address = trie::store_key(net);
  }
  return p;
}

void RangeTable::match_many(const IpAddress* addresses, std::size_t n, std::size_t* out,
                            IpPrefix* prefixes) const noexcept {
  constexpr std::size_t kGroup = 32;
  std::uint32_t step[kGroup];  // the bucket, then the range, of each address
  for (std::size_t base = 0; base < n; base += kGroup) {
    const std::size_t m = std::min(kGroup, n - base);
    const IpAddress* a = addresses + base;
    auto v4 = [&](std::size_t i) { return a[i].family == kIpv4; };
    auto v6_key = [&](std::size_t i) { return trie::load_key(a[i].bytes.data()); };
    for (std::size_t i = 0; i < m; ++i) step[i] = v4(i) ? v4_.bucket_of(v4_key(a[i])) : v6_.bucket_of(v6_key(i));
    for (std::size_t i = 0; i < m; ++i) v4(i) ? v4_.prefetch_ranges(step[i]) : v6_.prefetch_ranges(step[i]);
    for (std::size_t i = 0; i < m; ++i)
      step[i] = v4(i) ? v4_.range_of(v4_key(a[i]), step[i]) : v6_.range_of(v6_key(i), step[i]);
    for (std::size_t i = 0; i < m; ++i) {
      const std::uint32_t owner = v4(i) ? v4_.owners[step[i]].entry : v6_.owners[step[i]].entry;
      out[base + i] = owner == kNone ? npos : owner;
      if (prefixes && owner != kNone)
        prefixes[base + i] = v4(i) ? v4_.prefix_of(step[i], kIpv4) : v6_.prefix_of(step[i], kIpv6);
    }
  }
}

RangeTable::RangeTable(const IpPrefix* prefixes, std::size_t n) {
  if (n >= kNone) throw std::invalid_argument("range table: too many prefixes");
  const std::size_t v4 = static_cast<std::size_t>(
      std::find_if(prefixes, prefixes + n, [](const IpPrefix& p) { return p.family != kIpv4; }) - prefixes);
  for (std::size_t i = v4; i < n; ++i)
    if (prefixes[i].family != kIpv6) throw std::invalid_argument("range table: an IPv4 prefix after the IPv6 ones");
  v4_.build(prefixes, v4, 0);
  v6_.build(prefixes + v4, n - v4, v4);
}

std::size_t RangeTable::match(const IpAddress& address) const noexcept {
  std::uint32_t owner;
  if (address.family == kIpv4) {
    owner = v4_.find(v4_key(address));
  } else {
    owner = v6_.find(trie::load_key(address.bytes.data()));
  }
  return owner == kNone ? npos : owner;
}

}  // namespace netrove::range
