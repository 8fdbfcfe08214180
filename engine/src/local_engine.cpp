// LocalEngine: dispatch over the six variants, sharded fan-out and merged
// statistics.
#include "netrove/local_engine.hpp"

#include <algorithm>

#include "netrove/adaptive_engine.hpp"
#include "netrove/panic.hpp"
#include "netrove/trie_engine.hpp"

namespace netrove {

template <class Shard>
std::size_t ShardedEngine<Shard>::select(const IpAddress& a) const {
  if (shard_count == 0 || shard_count > shards.size()) panic("shard selection on an engine without that many shards");
  std::uint64_t h = 0;
  const unsigned n = shard_bits / 8u;
  for (unsigned i = 0; i < n && i < 16; ++i) h = h * 31u + a.bytes[i];
  return static_cast<std::size_t>(h % shard_count);
}

template struct ShardedEngine<std::shared_ptr<TrieEngine>>;
template struct ShardedEngine<AdaptiveEngine>;

namespace {

// Sharded writes, shared by the trie and adaptive groups: every shard in
// index order.  The record is stored once and every shard holds a share of
// that one immutable block (nobody can tell it from a copy per shard: every
// answer handed out is a fresh object).  Removes hand back the shards'
// stored records; only the first found is copied out.
//
// Shards of one trie.  When every trie shard shares one TrieRoots (as the
// factory builds them), the write of shard 0 is the whole write: a later
// shard's insert would store the same record again and bump an insert
// counter nobody reports, its remove would find nothing.  So only shard 0
// writes; the answers and every reported counter are the same (inserts and
// size are shard 0's, removals the sum of one).

/// The shards a write must visit: all, or only shard 0 of a single trie.
std::size_t writing_shards(const ShardedTrie& g) noexcept {
  for (const auto& s : g.shards)
    if (s->roots() != g.shards[0]->roots()) return g.shards.size();
  return g.shards.empty() ? 0 : 1;
}
std::size_t writing_shards(const ShardedAdaptive& g) noexcept { return g.shards.size(); }

template <class Group, class Op>
InsertResult fan_out_insert(Group& g, const Metadata& record, Op insert_one) {
  const RecordRef stored = RecordRef::intern(record);
  const std::size_t n = writing_shards(g);
  for (std::size_t i = 0; i < n; ++i) {
    auto& s = g.shards[i];
    InsertResult r = insert_one(s, stored);
    if (!r.ok()) return r;
  }
  return InsertResult::success();
}

/// take_one for every writing shard in index order; the first record taken
/// (empty when none was).
template <class Group, class Op>
RecordRef fan_out_take(Group& g, Op take_one) {
  RecordRef first;
  const std::size_t n = writing_shards(g);
  for (std::size_t i = 0; i < n; ++i) {
    RecordRef r = take_one(g.shards[i]);
    if (!first && r) first = std::move(r);
  }
  return first;
}

template <class Group, class Op>
std::optional<Metadata> fan_out_remove(Group& g, Op take_one) {
  const RecordRef first = fan_out_take(g, std::move(take_one));
  if (!first) return std::nullopt;
  return first.view().to_metadata();
}

constexpr TrieForm form_of(LocalTag t) {
  return (t == LocalTag::compressed || t == LocalTag::sharded_compressed) ? TrieForm::compressed
                                                                         : TrieForm::uncompressed;
}

}  // namespace

LocalEngine LocalEngine::uncompressed(std::shared_ptr<TrieEngine> e) { return {LocalTag::uncompressed, std::move(e)}; }
LocalEngine LocalEngine::compressed(std::shared_ptr<TrieEngine> e) { return {LocalTag::compressed, std::move(e)}; }
LocalEngine LocalEngine::sharded_uncompressed(std::shared_ptr<ShardedTrie> e) {
  return {LocalTag::sharded_uncompressed, std::move(e)};
}
LocalEngine LocalEngine::sharded_compressed(std::shared_ptr<ShardedTrie> e) {
  return {LocalTag::sharded_compressed, std::move(e)};
}
LocalEngine LocalEngine::adaptive(std::shared_ptr<AdaptiveEngine> e) { return {LocalTag::adaptive, std::move(e)}; }
LocalEngine LocalEngine::sharded_adaptive(std::shared_ptr<ShardedAdaptive> e) {
  return {LocalTag::sharded_adaptive, std::move(e)};
}

template <bool Count>
InsertResult LocalEngine::put(const IpPrefix& prefix, Metadata record) {
  // One trie engine's insert or load of one stored record.
  auto trie_put = [&prefix]<TrieForm F>(TrieEngine& e, RecordRef r) {
    if constexpr (Count) return e.insert_shared<F>(prefix, std::move(r));
    else return e.load_shared<F>(prefix, std::move(r));
  };
  switch (tag_) {
    case LocalTag::uncompressed:
      return trie_put.template operator()<TrieForm::uncompressed>(rec<TrieEngine>(), RecordRef::intern(record));
    case LocalTag::compressed:
      return trie_put.template operator()<TrieForm::compressed>(rec<TrieEngine>(), RecordRef::intern(record));
    case LocalTag::sharded_uncompressed:
    case LocalTag::sharded_compressed: {
      const bool c = form_of(tag_) == TrieForm::compressed;
      return fan_out_insert(rec<ShardedTrie>(), record, [&](std::shared_ptr<TrieEngine>& s, const RecordRef& r) {
        return c ? trie_put.template operator()<TrieForm::compressed>(*s, r)
                 : trie_put.template operator()<TrieForm::uncompressed>(*s, r);
      });
    }
    case LocalTag::adaptive:
      return rec<AdaptiveEngine>().insert(prefix, std::move(record));
    case LocalTag::sharded_adaptive:
      return fan_out_insert(rec<ShardedAdaptive>(), record,
                            [&](AdaptiveEngine& s, const RecordRef& r) { return s.insert_shared(prefix, r); });
  }
  panic("unknown LocalEngine tag");
}

InsertResult LocalEngine::insert(const IpPrefix& prefix, Metadata record) {
  return put<true>(prefix, std::move(record));
}

InsertResult LocalEngine::load(const IpPrefix& prefix, Metadata record) {
  return put<false>(prefix, std::move(record));
}

std::optional<Metadata> LocalEngine::lookup(const IpAddress& address) const {
  switch (tag_) {
    case LocalTag::uncompressed:
      return rec<TrieEngine>().lookup<TrieForm::uncompressed>(address);
    case LocalTag::compressed:
      return rec<TrieEngine>().lookup<TrieForm::compressed>(address);
    case LocalTag::sharded_uncompressed: {
      auto& g = rec<ShardedTrie>();
      return g.shards[g.select(address)]->lookup<TrieForm::uncompressed>(address);
    }
    case LocalTag::sharded_compressed: {
      auto& g = rec<ShardedTrie>();
      return g.shards[g.select(address)]->lookup<TrieForm::compressed>(address);
    }
    case LocalTag::adaptive:
      return rec<AdaptiveEngine>().lookup(address);
    case LocalTag::sharded_adaptive: {
      auto& g = rec<ShardedAdaptive>();
      return g.shards[g.select(address)].lookup(address);
    }
  }
  panic("unknown LocalEngine tag");
}

bool LocalEngine::lookup_with(const IpAddress& address, RecordVisitor visit) const {
  switch (tag_) {
    case LocalTag::uncompressed:
      return rec<TrieEngine>().lookup_with<TrieForm::uncompressed>(address, visit);
    case LocalTag::compressed:
      return rec<TrieEngine>().lookup_with<TrieForm::compressed>(address, visit);
    case LocalTag::sharded_uncompressed: {
      auto& g = rec<ShardedTrie>();
      return g.shards[g.select(address)]->lookup_with<TrieForm::uncompressed>(address, visit);
    }
    case LocalTag::sharded_compressed: {
      auto& g = rec<ShardedTrie>();
      return g.shards[g.select(address)]->lookup_with<TrieForm::compressed>(address, visit);
    }
    case LocalTag::adaptive:
      return rec<AdaptiveEngine>().lookup_with(address, visit);
    case LocalTag::sharded_adaptive: {
      auto& g = rec<ShardedAdaptive>();
      return g.shards[g.select(address)].lookup_with(address, visit);
    }
  }
  panic("unknown LocalEngine tag");
}

template <class TrieRun, class Adaptive>
void LocalEngine::read_many(const IpAddress* addresses, std::size_t n, TrieRun&& run, Adaptive&& one) const {
  auto run_form = [&](TrieEngine& t, std::size_t from, std::size_t count) {
    if (form_of(tag_) == TrieForm::compressed) run.template operator()<TrieForm::compressed>(t, from, count);
    else run.template operator()<TrieForm::uncompressed>(t, from, count);
  };
  switch (tag_) {
    case LocalTag::uncompressed:
    case LocalTag::compressed:
      return run_form(rec<TrieEngine>(), 0, n);
    case LocalTag::sharded_uncompressed:
    case LocalTag::sharded_compressed: {
      auto& g = rec<ShardedTrie>();
      for (std::size_t i = 0; i < n; ++i) run_form(*g.shards[g.select(addresses[i])], i, 1);
      return;
    }
    case LocalTag::adaptive:
    case LocalTag::sharded_adaptive:
      for (std::size_t i = 0; i < n; ++i) one(i);
      return;
  }
  panic("unknown LocalEngine tag");
}

void LocalEngine::lookup_many(const IpAddress* addresses, std::size_t n, HeldRecord* out) const {
  read_many(
      addresses, n,
      [&]<TrieForm F>(TrieEngine& t, std::size_t from, std::size_t count) {
        t.lookup_many<F>(addresses + from, count, out + from);
      },
      [&](std::size_t i) {
        out[i] = hold_lent(*this, addresses[i]);
      });
}

void LocalEngine::contains_many(const IpAddress* addresses, std::size_t n, bool* found) const {
  read_many(
      addresses, n,
      [&]<TrieForm F>(TrieEngine& t, std::size_t from, std::size_t count) {
        t.contains_many<F>(addresses + from, count, found + from);
      },
      [&](std::size_t i) { found[i] = lookup_with(addresses[i], RecordVisitor{}); });
}

InsertResult LocalEngine::insert_many(const IpPrefix* prefixes, Metadata* records, std::size_t n,
                                      std::size_t* done) {
  *done = 0;
  switch (tag_) {
    case LocalTag::uncompressed:
    case LocalTag::compressed: {
      TrieEngine& e = rec<TrieEngine>();
      InsertResult r = form_of(tag_) == TrieForm::compressed ? e.insert_many<TrieForm::compressed>(prefixes, records, n)
                                                             : e.insert_many<TrieForm::uncompressed>(prefixes, records, n);
      *done = n;
      return r;
    }
    case LocalTag::sharded_uncompressed:
    case LocalTag::sharded_compressed: {
      // Chunk by chunk, every shard in index order, each with its own
      // copies of the records (the last shard takes the originals): the
      // same stored records and counters as fan_out_insert per element.
      auto& g = rec<ShardedTrie>();
      const bool c = form_of(tag_) == TrieForm::compressed;
      std::vector<Metadata> copies;
      for (std::size_t base = 0; base < n; base += TrieEngine::kWriteChunk) {
        const std::size_t m = std::min(TrieEngine::kWriteChunk, n - base);
        for (std::size_t i = 0; i < g.shards.size(); ++i) {
          Metadata* batch = records + base;
          if (i + 1 < g.shards.size()) {
            copies.assign(records + base, records + base + m);
            batch = copies.data();
          }
          TrieEngine& s = *g.shards[i];
          InsertResult r = c ? s.insert_many<TrieForm::compressed>(prefixes + base, batch, m)
                             : s.insert_many<TrieForm::uncompressed>(prefixes + base, batch, m);
          if (!r.ok()) return r;
        }
        *done = base + m;
      }
      *done = n;
      return InsertResult::success();
    }
    case LocalTag::adaptive:
    case LocalTag::sharded_adaptive:
      for (; *done < n; ++*done) {
        InsertResult r = insert(prefixes[*done], std::move(records[*done]));
        if (!r.ok()) return r;
      }
      return InsertResult::success();
  }
  panic("unknown LocalEngine tag");
}

std::optional<Metadata> LocalEngine::remove(const IpPrefix& prefix) {
  switch (tag_) {
    case LocalTag::uncompressed:
      return rec<TrieEngine>().remove<TrieForm::uncompressed>(prefix);
    case LocalTag::compressed:
      return rec<TrieEngine>().remove<TrieForm::compressed>(prefix);
    case LocalTag::sharded_uncompressed:
    case LocalTag::sharded_compressed: {
      const bool c = form_of(tag_) == TrieForm::compressed;
      return fan_out_remove(rec<ShardedTrie>(), [&](std::shared_ptr<TrieEngine>& s) {
        return c ? s->take<TrieForm::compressed>(prefix) : s->take<TrieForm::uncompressed>(prefix);
      });
    }
    case LocalTag::adaptive:
      return rec<AdaptiveEngine>().remove(prefix);
    case LocalTag::sharded_adaptive:
      return fan_out_remove(rec<ShardedAdaptive>(), [&](AdaptiveEngine& s) { return s.take(prefix); });
  }
  panic("unknown LocalEngine tag");
}

bool LocalEngine::erase(const IpPrefix& prefix) {
  switch (tag_) {
    case LocalTag::uncompressed:
      return static_cast<bool>(rec<TrieEngine>().take<TrieForm::uncompressed>(prefix));
    case LocalTag::compressed:
      return static_cast<bool>(rec<TrieEngine>().take<TrieForm::compressed>(prefix));
    case LocalTag::sharded_uncompressed:
    case LocalTag::sharded_compressed: {
      const bool c = form_of(tag_) == TrieForm::compressed;
      const RecordRef taken = fan_out_take(rec<ShardedTrie>(), [&](std::shared_ptr<TrieEngine>& s) {
        return c ? s->take<TrieForm::compressed>(prefix) : s->take<TrieForm::uncompressed>(prefix);
      });
      return static_cast<bool>(taken);
    }
    case LocalTag::adaptive:
      return static_cast<bool>(rec<AdaptiveEngine>().take(prefix));
    case LocalTag::sharded_adaptive:
      return static_cast<bool>(fan_out_take(rec<ShardedAdaptive>(), [&](AdaptiveEngine& s) { return s.take(prefix); }));
  }
  panic("unknown LocalEngine tag");
}

bool LocalEngine::contains_prefix(const IpPrefix& prefix) const {
  switch (tag_) {
    case LocalTag::uncompressed:
      return rec<TrieEngine>().contains_prefix<TrieForm::uncompressed>(prefix);
    case LocalTag::compressed:
      return rec<TrieEngine>().contains_prefix<TrieForm::compressed>(prefix);
    case LocalTag::sharded_uncompressed:
    case LocalTag::sharded_compressed: {
      auto& g = rec<ShardedTrie>();
      if (g.shards.empty()) return false;
      return form_of(tag_) == TrieForm::compressed ? g.shards[0]->contains_prefix<TrieForm::compressed>(prefix)
                                                   : g.shards[0]->contains_prefix<TrieForm::uncompressed>(prefix);
    }
    case LocalTag::adaptive:
      return rec<AdaptiveEngine>().contains_prefix(prefix);
    case LocalTag::sharded_adaptive: {
      auto& g = rec<ShardedAdaptive>();
      return !g.shards.empty() && g.shards[0].contains_prefix(prefix);
    }
  }
  panic("unknown LocalEngine tag");
}

void LocalEngine::clear() {
  switch (tag_) {
    case LocalTag::uncompressed:
      return rec<TrieEngine>().clear<TrieForm::uncompressed>();
    case LocalTag::compressed:
      return rec<TrieEngine>().clear<TrieForm::compressed>();
    case LocalTag::sharded_uncompressed:
    case LocalTag::sharded_compressed:
      for (auto& s : rec<ShardedTrie>().shards) {
        if (form_of(tag_) == TrieForm::compressed) s->clear<TrieForm::compressed>();
        else s->clear<TrieForm::uncompressed>();
      }
      return;
    case LocalTag::adaptive:
      return rec<AdaptiveEngine>().clear();
    case LocalTag::sharded_adaptive:
      for (auto& s : rec<ShardedAdaptive>().shards) s.clear();
      return;
  }
  panic("unknown LocalEngine tag");
}

std::uint64_t LocalEngine::len() const {
  switch (tag_) {
    case LocalTag::uncompressed:
    case LocalTag::compressed:
      return rec<TrieEngine>().len();
    case LocalTag::sharded_uncompressed:
    case LocalTag::sharded_compressed: {
      auto& g = rec<ShardedTrie>();
      return g.shards.empty() ? 0 : g.shards[0]->len();
    }
    case LocalTag::adaptive:
      return rec<AdaptiveEngine>().len();
    case LocalTag::sharded_adaptive: {
      auto& g = rec<ShardedAdaptive>();
      return g.shards.empty() ? 0 : g.shards[0].len();
    }
  }
  panic("unknown LocalEngine tag");
}

EngineStats LocalEngine::stats() const {
  switch (tag_) {
    case LocalTag::uncompressed:
    case LocalTag::compressed:
      return rec<TrieEngine>().stats();
    case LocalTag::sharded_uncompressed:
    case LocalTag::sharded_compressed: {
      // Every insert passes through shard 0 exactly once, so its `inserts` is
      // exact.  A stored prefix is taken out by exactly one shard's remove,
      // usually shard 0's, but a later shard's when writes interleave, so
      // removals are summed.  The prefix count belongs to the shared trie.
      // Lookups are spread over the shards and summed.
      auto& g = rec<ShardedTrie>();
      EngineStats out;
      for (std::size_t i = 0; i < g.shards.size(); ++i) {
        const EngineStats s = g.shards[i]->stats();
        if (i == 0) {
          out.inserts = s.inserts;
          out.size = s.size;
        }
        out.removals += s.removals;
        out.lookups += s.lookups;
        out.hits += s.hits;
        out.misses += s.misses;
      }
      return out;
    }
    case LocalTag::adaptive:
      return EngineStats{.size = rec<AdaptiveEngine>().len()};
    case LocalTag::sharded_adaptive: {
      auto& g = rec<ShardedAdaptive>();
      return EngineStats{.size = g.shards.empty() ? 0 : g.shards[0].len()};
    }
  }
  panic("unknown LocalEngine tag");
}

template <class R, class F>
R LocalEngine::with_entry_shard(R none, F&& f) const {
  if (const TrieEngine* t = trie(0)) return f(*t);
  if (const AdaptiveEngine* a = adaptive_engine(0)) return f(*a);
  return none;
}

std::vector<Entry> LocalEngine::covering(const IpAddress& address, std::size_t limit) const {
  return with_entry_shard(std::vector<Entry>{}, [&](const auto& e) { return e.covering(address, limit); });
}

std::vector<Entry> LocalEngine::covered(const IpPrefix& prefix) const {
  return with_entry_shard(std::vector<Entry>{}, [&](const auto& e) { return e.covered(prefix); });
}

std::optional<Metadata> LocalEngine::exact(const IpPrefix& prefix) const {
  return with_entry_shard(std::optional<Metadata>{}, [&](const auto& e) { return e.exact(prefix); });
}

std::size_t LocalEngine::shard_count() const noexcept {
  switch (tag_) {
    case LocalTag::sharded_uncompressed:
    case LocalTag::sharded_compressed:
      return rec<ShardedTrie>().shards.size();
    case LocalTag::sharded_adaptive:
      return rec<ShardedAdaptive>().shards.size();
    default:
      return 1;
  }
}

const TrieEngine* LocalEngine::trie(std::size_t shard) const noexcept {
  switch (tag_) {
    case LocalTag::uncompressed:
    case LocalTag::compressed:
      return shard == 0 ? &rec<TrieEngine>() : nullptr;
    case LocalTag::sharded_uncompressed:
    case LocalTag::sharded_compressed: {
      auto& g = rec<ShardedTrie>();
      return shard < g.shards.size() ? g.shards[shard].get() : nullptr;
    }
    default:
      return nullptr;
  }
}

const AdaptiveEngine* LocalEngine::adaptive_engine(std::size_t shard) const noexcept {
  switch (tag_) {
    case LocalTag::adaptive:
      return shard == 0 ? &rec<AdaptiveEngine>() : nullptr;
    case LocalTag::sharded_adaptive: {
      auto& g = rec<ShardedAdaptive>();
      return shard < g.shards.size() ? &g.shards[shard] : nullptr;
    }
    default:
      return nullptr;
  }
}

}  // namespace netrove
