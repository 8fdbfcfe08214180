// record/trie_record.hpp - the name the binary tries and their read index
// give a stored record, and its two counting operations; a leaf of record/
// so that the index needs nothing of the trie's node fields.
#pragma once

#include "netrove/record.hpp"

namespace netrove::trie {

/// One stored record (netrove/record.hpp): immutable once published, shared
/// by every node (a split copies a node) and every prefix of equal contents.
using Record = StoredRecord;

/// Drops one owner of `r`; the last one retires it.
inline void release(Record* r) noexcept { release_record(r); }
/// Adds an owner unless the count already reached zero.
inline bool try_share(Record* r) noexcept { return try_share_record(r); }
/// Adds an owner to `r`, which some other owner keeps alive meanwhile: one
/// atomic add, where try_share reads the count before it swaps it (two
/// trips for the line when another core wrote it last).
inline void share(Record* r) noexcept { r->owners.fetch_add(1, std::memory_order_relaxed); }

}  // namespace netrove::trie
