// The read index's root-table threshold for one scope: 0 makes every read
// index, however small, answer through its root table (from its next write
// on); the default comes back when the scope ends.
#pragma once

#include "index/read_index.hpp"

namespace nt {

struct RootTableMin {
  explicit RootTableMin(bool always) {
    netrove::index::ReadIndex::set_table_min(always ? 0 : netrove::index::ReadIndex::kTableMin);
  }
  ~RootTableMin() { netrove::index::ReadIndex::set_table_min(netrove::index::ReadIndex::kTableMin); }
  RootTableMin(const RootTableMin&) = delete;
  RootTableMin& operator=(const RootTableMin&) = delete;
};

}  // namespace nt
