// The batch entry points: an engine's BatchEngine side when it has one,
// otherwise the single operations element by element.
#include "netrove/engine.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <vector>

namespace netrove {

HeldRecord hold_lent(const RecordLender& lender, const IpAddress& address) {
  HeldRecord held;
  bool failed = false;
  lender.lookup_with(address, [&](const RecordView& v) noexcept {
    // Sharing allocates only when the block is dying (an interned copy);
    // the visit may not throw, so a failure is raised after it.
    try {
      held = RecordRef::share(v);
    } catch (...) {
      failed = true;
    }
  });
  if (failed) throw std::bad_alloc();
  return held;
}

void lookup_many(const Engine& engine, const IpAddress* addresses, std::size_t n, HeldRecord* out) {
  if (const auto* batch = dynamic_cast<const BatchEngine*>(&engine)) return batch->lookup_many(addresses, n, out);
  if (const auto* lender = dynamic_cast<const RecordLender*>(&engine)) {
    for (std::size_t i = 0; i < n; ++i) out[i] = hold_lent(*lender, addresses[i]);
    return;
  }
  for (std::size_t i = 0; i < n; ++i)
    if (std::optional<Metadata> m = engine.lookup(addresses[i])) out[i] = RecordRef::intern(*m);
}

void contains_many(const Engine& engine, const IpAddress* addresses, std::size_t n, bool* found) {
  if (const auto* batch = dynamic_cast<const BatchEngine*>(&engine)) return batch->contains_many(addresses, n, found);
  const auto* lender = dynamic_cast<const RecordLender*>(&engine);
  for (std::size_t i = 0; i < n; ++i)
    found[i] = lender ? lender->lookup_with(addresses[i], RecordVisitor{}) : engine.lookup(addresses[i]).has_value();
}

void lookup_many_with(const Engine& engine, const IpAddress* addresses, std::size_t n, bool* found,
                      BatchVisitor visit) {
  if (const auto* lender = dynamic_cast<const BatchLender*>(&engine))
    return lender->lookup_many_with(addresses, n, found, visit);
  // Held in chunks, so that a large batch does not hold every share at once.
  constexpr std::size_t kChunk = 256;
  HeldRecord held[kChunk];
  for (std::size_t base = 0; base < n; base += kChunk) {
    const std::size_t m = std::min(kChunk, n - base);
    lookup_many(engine, addresses + base, m, held);
    for (std::size_t j = 0; j < m; ++j) {
      found[base + j] = static_cast<bool>(held[j]);
      if (held[j]) {
        visit(base + j, held[j].view());
        held[j] = HeldRecord();
      }
    }
  }
}

bool erase(Engine& engine, const IpPrefix& prefix) {
  if (auto* eraser = dynamic_cast<EntryEraser*>(&engine)) return eraser->erase(prefix);
  return engine.remove(prefix).has_value();
}

InsertResult insert_many(Engine& engine, const IpPrefix* prefixes, Metadata* records, std::size_t n,
                         std::size_t* done) {
  if (auto* batch = dynamic_cast<BatchEngine*>(&engine)) return batch->insert_many(prefixes, records, n, done);
  for (*done = 0; *done < n; ++*done) {
    InsertResult r = engine.insert(prefixes[*done], std::move(records[*done]));
    if (!r.ok()) return r;
  }
  return InsertResult::success();
}

InsertResult insert_record(Engine& engine, const IpPrefix& prefix, RecordRef record) {
  if (auto* writer = dynamic_cast<RecordWriter*>(&engine)) return writer->insert_record(prefix, std::move(record));
  return engine.insert(prefix, record.view().to_metadata());
}

namespace {

std::vector<Metadata> copies_of(const RecordRef* records, std::size_t n) {
  std::vector<Metadata> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(records[i].view().to_metadata());
  return out;
}

}  // namespace

InsertResult insert_records(Engine& engine, const IpPrefix* prefixes, RecordRef* records, std::size_t n,
                            std::size_t* done) {
  if (auto* writer = dynamic_cast<RecordWriter*>(&engine)) return writer->insert_records(prefixes, records, n, done);
  std::vector<Metadata> copies = copies_of(records, n);
  return insert_many(engine, prefixes, copies.data(), n, done);
}

InsertResult load_records(Engine& engine, const IpPrefix* prefixes, RecordRef* records, std::size_t n,
                          std::size_t* done) {
  if (auto* writer = dynamic_cast<RecordWriter*>(&engine)) return writer->load_records(prefixes, records, n, done);
  auto* loader = dynamic_cast<EntryLoader*>(&engine);
  if (!loader) throw std::logic_error("the engine cannot load entries");
  for (*done = 0; *done < n; ++*done) {
    InsertResult r = loader->load(prefixes[*done], records[*done].view().to_metadata());
    if (!r.ok()) return r;
  }
  return InsertResult::success();
}

}  // namespace netrove
