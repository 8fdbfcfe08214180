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

}  // namespace netrove::trie
