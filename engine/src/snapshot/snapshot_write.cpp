// save_snapshot: the engine lends its entries in order to a Writer, which
// numbers each distinct stored record the first time it meets it.
//
//   walk:     10.0.0.0/8 -> R1    10.1.0.0/16 -> R2    11.0.0.0/8 -> R1 ...
//   records:  [R1 bytes][R2 bytes]                (each distinct one once)
//   entries:  [8 0a | 0] [16 0a 01 | 1] [8 0b | 0] ...
//
// Records are told apart by their block: equal records share one
// (interning), so one block is one record.  The writer keeps a share of
// every block it numbered, so that no block it has seen can be freed and
// its address reused by another record while the save runs (the families
// are walked in two read sections, and writers may run between them).
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "netrove/snapshot.hpp"
#include "snapshot/snapshot_format.hpp"

namespace netrove {

namespace {

using snapshot::put_var;

class Writer final : public EntrySink {
 public:
  void begin(std::uint8_t family) override {
    const unsigned f = family == kIpv4 ? 0 : 1;
    entries_[f].clear();
    counts_[f] = 0;
  }

  void put(const IpPrefix& prefix, RecordView record) override {
    const unsigned f = prefix.family == kIpv4 ? 0 : 1;
    std::string& out = entries_[f];
    const unsigned bytes = (prefix.length + 7u) / 8u;
    char head[17];
    head[0] = static_cast<char>(prefix.length);
    std::memcpy(head + 1, prefix.address.data(), bytes);
    out.append(head, 1 + bytes);
    put_var(out, number_of(record));
    ++counts_[f];
  }

  SnapshotCounts counts() const noexcept { return {numbered_, counts_[0], counts_[1]}; }

  /// The whole snapshot.
  std::string finish() const {
    std::string out;
    out.reserve(8 + records_.size() + entries_[0].size() + entries_[1].size() + 30);
    out.append(snapshot::kMagic, 4);
    out.push_back(static_cast<char>(snapshot::kVersion));
    put_var(out, numbered_);
    out += records_;
    for (unsigned f = 0; f < 2; ++f) {
      put_var(out, counts_[f]);
      out += entries_[f];
    }
    return out;
  }

 private:
  struct Slot {
    const StoredRecord* block = nullptr;
    std::uint64_t number = 0;
  };

  /// The number of `record`, giving it the next one (and writing it out)
  /// the first time.  Table: open addressing on the block address, at most
  /// half full.
  std::uint64_t number_of(RecordView record) {
    const StoredRecord* block = &record.stored();
    if (2 * (numbered_ + 1) > slots_.size()) grow();
    std::size_t i = home(block);
    for (; slots_[i].block; i = (i + 1) & (slots_.size() - 1))
      if (slots_[i].block == block) return slots_[i].number;
    held_.push_back(RecordRef::share(record));
    slots_[i] = {block, numbered_};
    write_record(record);
    return numbered_++;
  }

  std::size_t home(const StoredRecord* block) const noexcept {
    const std::uint64_t h = (reinterpret_cast<std::uintptr_t>(block) >> 3) * 0x9e3779b97f4a7c15ull;
    return static_cast<std::size_t>(h >> 32) & (slots_.size() - 1);
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 1024 : 2 * old.size(), Slot{});
    for (const Slot& s : old) {
      if (!s.block) continue;
      std::size_t i = home(s.block);
      while (slots_[i].block) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = s;
    }
  }

  void write_text(std::string_view s) {
    put_var(records_, s.size());
    records_.append(s);
  }

  void write_record(RecordView record) {
    put_var(records_, record.size());
    write_text(record.value());
    for (const auto& [k, v] : record) {
      write_text(k);
      write_text(v);
    }
  }

  std::string records_;
  std::uint64_t numbered_ = 0;
  std::vector<Slot> slots_;
  std::vector<RecordRef> held_;  // a share of every numbered block
  std::string entries_[2];
  std::uint64_t counts_[2] = {0, 0};
};

}  // namespace

std::string save_snapshot(const Engine& engine, SnapshotCounts* counts) {
  Writer w;
  if (const auto* lister = dynamic_cast<const EntryLister*>(&engine)) {
    lister->list_entries(w);
  } else if (const auto* reader = dynamic_cast<const EntryReader*>(&engine)) {
    for (const std::uint8_t family : {kIpv4, kIpv6}) {
      w.begin(family);
      for (const Entry& e : reader->covered(IpPrefix{family, {}, 0}))
        w.put(e.prefix, e.record.view());
    }
  } else {
    throw std::logic_error("the engine lists no entries");
  }
  if (counts) *counts = w.counts();
  return w.finish();
}

}  // namespace netrove
