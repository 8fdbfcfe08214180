// range_table.hpp - a read-only longest-prefix table built in one pass
// over entries that are already in order, for a process that loads a
// table once and only looks addresses up (the `netrove` command).
//
// The prefixes of a family cut its address space into ranges, each covered
// by one longest prefix or by none.  A sweep over the entries in order
// (address, then a shorter prefix first) with a stack of the prefixes still
// open finds those ranges:
//
//   entries   10.0.0.0/8 ........................................
//                  10.1.0.0/16 ........
//   ranges    [0 .. 9.255.255.255] none
//             [10.0.0.0 .. 10.0.255.255] 10.0.0.0/8
//             [10.1.0.0 .. 10.1.255.255] 10.1.0.0/16
//             [10.2.0.0 .. 10.255.255.255] 10.0.0.0/8
//             [11.0.0.0 .. max] none
//
// Only each range's first address is kept, with the entry that covers it
// (neighbours with the same entry merged), so a lookup is "the last range
// starting at or before the address".  A bucket per value of the top 16
// bits says which ranges start inside it; a binary search over those few
// finishes the lookup:
//
//   buckets[h] = first range starting at or after h << (width - 16)
//   answer     = last range r in [buckets[h] - 1, buckets[h + 1]) with start <= address
//
// (The range before buckets[h] starts in an earlier bucket and may reach
// into this one; the first range starts at 0, so there always is one.)
// Building is linear in the entries plus the buckets; there is no update.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "netrove/types.hpp"

namespace netrove::range {

class RangeTable {
 public:
  /// No entry covers the address.
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  /// Builds the table of `prefixes[0..n)`: the IPv4 ones, then the IPv6
  /// ones, each family strictly increasing in address order with a shorter
  /// prefix first on equal addresses, as EntryReader::all() and a snapshot
  /// give them (host bits are ignored).  Throws std::invalid_argument when
  /// they are out of that order or more than 2^32 - 2; std::bad_alloc.
  RangeTable(const IpPrefix* prefixes, std::size_t n);

  /// The index (into the prefixes given) of the longest prefix covering
  /// `address`, or npos.
  std::size_t match(const IpAddress& address) const noexcept;

  /// out[i] = match(addresses[i]) for i < n, the lookups interleaved: each
  /// step is taken for the whole batch with the memory it needs next
  /// prefetched, so the cache misses of different addresses overlap
  /// instead of following one another.
  /// With `prefixes`, prefixes[i] is also set to the network form of the
  /// prefix found (left alone where none is), taken from the range itself
  /// rather than from the caller's entries: one cache miss less.
  void match_many(const IpAddress* addresses, std::size_t n, std::size_t* out,
                  IpPrefix* prefixes = nullptr) const noexcept;

 private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  /// The entry covering a range (kNone for none) and its prefix length,
  /// side by side so that one line holds both.
  struct Owner {
    std::uint32_t entry = kNone;
    std::uint32_t length = 0;
  };

  template <class K>
  struct Ranges {
    std::vector<K> starts;               // first address of each range, increasing; starts[0] == 0
    std::vector<Owner> owners;           // the covering entry of each range
    std::vector<std::uint32_t> buckets;  // 65537 entries, see above

    void build(const IpPrefix* prefixes, std::size_t n, std::size_t first);
    std::uint32_t find(K key) const noexcept;
    /// find() in the steps match_many interleaves, each prefetching what
    /// the next one reads: the bucket of `key`; the first ranges of that
    /// bucket; the search, giving the range; its owner (owners[range]).
    std::uint32_t bucket_of(K key) const noexcept;
    void prefetch_ranges(std::uint32_t h) const noexcept;
    std::uint32_t range_of(K key, std::uint32_t h) const noexcept;
    /// The network form of the prefix owning range `r` (not kNone).
    IpPrefix prefix_of(std::uint32_t r, std::uint8_t family) const noexcept;
  };

  Ranges<std::uint32_t> v4_;
  __extension__ Ranges<unsigned __int128> v6_;
};

}  // namespace netrove::range
