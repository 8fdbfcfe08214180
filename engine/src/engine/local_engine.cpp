// LocalEngine: dispatch over the six variants, sharded fan-out and merged
// statistics.
#include "engine/local_engine.hpp"

#include <algorithm>
#include <array>

#include "art/adaptive_engine.hpp"
#include "sync/panic.hpp"
#include "trie/trie_engine.hpp"

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
InsertResult fan_out_insert(Group& g, const RecordRef& stored, Op insert_one) {
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

// The shapes of the variant, as the one dispatch helper (LocalEngine::visit)
// hands them to an operation:
//
//   shape           tags   holds                          K (calls of one engine)
//   Single<Trie<F>> 0, 2   one TrieEngine                 trie calls in form F
//   Group<Trie<F>>  1, 3   ShardedTrie (handles, 1 trie)  trie calls in form F
//   Single<Tree>    4      one AdaptiveEngine             tree calls
//   Group<Tree>     5      ShardedAdaptive (inline trees) tree calls
//
// An operation is one generic lambda over the shape: K's calls reach one
// engine, route(a) is the engine that answers address a (the shard chosen by
// select for a group), and `if constexpr` on kGroup / kTrie holds the rules
// only some shapes have (fan-out of writes, merged statistics).

/// Calls of one trie engine in form F.
template <TrieForm F>
struct Trie {
  using Engine = TrieEngine;
  using Shard = std::shared_ptr<TrieEngine>;
  static constexpr bool kTrie = true;
  static constexpr TrieForm kForm = F;
  static TrieEngine& engine(const Shard& s) noexcept { return *s; }
  static std::optional<Metadata> lookup(TrieEngine& e, const IpAddress& a) { return e.lookup<F>(a); }
  static bool lookup_with(TrieEngine& e, const IpAddress& a, RecordVisitor v) { return e.lookup_with<F>(a, v); }
  static std::optional<Metadata> remove(TrieEngine& e, const IpPrefix& p) { return e.remove<F>(p); }
  static RecordRef take(TrieEngine& e, const IpPrefix& p) { return e.take<F>(p); }
  static bool contains_prefix(TrieEngine& e, const IpPrefix& p) { return e.contains_prefix<F>(p); }
  static void clear(TrieEngine& e) { e.clear<F>(); }
};

/// Calls of one adaptive radix tree engine.
struct Tree {
  using Engine = AdaptiveEngine;
  using Shard = AdaptiveEngine;
  static constexpr bool kTrie = false;
  static AdaptiveEngine& engine(AdaptiveEngine& s) noexcept { return s; }
  static std::optional<Metadata> lookup(AdaptiveEngine& e, const IpAddress& a) { return e.lookup(a); }
  static bool lookup_with(AdaptiveEngine& e, const IpAddress& a, RecordVisitor v) { return e.lookup_with(a, v); }
  static std::optional<Metadata> remove(AdaptiveEngine& e, const IpPrefix& p) { return e.remove(p); }
  static RecordRef take(AdaptiveEngine& e, const IpPrefix& p) { return e.take(p); }
  static bool contains_prefix(AdaptiveEngine& e, const IpPrefix& p) { return e.contains_prefix(p); }
  static void clear(AdaptiveEngine& e) { e.clear(); }
};

/// One engine of calls K.
template <class Calls>
struct Single {
  using K = Calls;
  static constexpr bool kGroup = false;
  typename K::Engine& e;
  typename K::Engine& route(const IpAddress&) const noexcept { return e; }
  /// The engine that answers len and the enumerations: the one.
  typename K::Engine* first() const noexcept { return &e; }
  std::size_t size() const noexcept { return 1; }
  typename K::Engine* at(std::size_t i) const noexcept { return i == 0 ? &e : nullptr; }
};

/// A group of shards of calls K.
template <class Calls>
struct Group {
  using K = Calls;
  static constexpr bool kGroup = true;
  ShardedEngine<typename K::Shard>& g;
  typename K::Engine& route(const IpAddress& a) const { return K::engine(g.shards[g.select(a)]); }
  /// Shard 0, which answers len and the enumerations; null without shards.
  typename K::Engine* first() const noexcept { return at(0); }
  std::size_t size() const noexcept { return g.shards.size(); }
  typename K::Engine* at(std::size_t i) const noexcept { return i < g.shards.size() ? &K::engine(g.shards[i]) : nullptr; }
};

}  // namespace

template <class F>
decltype(auto) LocalEngine::visit(F&& f) const {
  switch (tag_) {
    case LocalTag::uncompressed: return f(Single<Trie<TrieForm::uncompressed>>{as<TrieEngine>()});
    case LocalTag::compressed: return f(Single<Trie<TrieForm::compressed>>{as<TrieEngine>()});
    case LocalTag::sharded_uncompressed: return f(Group<Trie<TrieForm::uncompressed>>{as<ShardedTrie>()});
    case LocalTag::sharded_compressed: return f(Group<Trie<TrieForm::compressed>>{as<ShardedTrie>()});
    case LocalTag::adaptive: return f(Single<Tree>{as<AdaptiveEngine>()});
    case LocalTag::sharded_adaptive: return f(Group<Tree>{as<ShardedAdaptive>()});
  }
  panic("unknown LocalEngine tag");
}

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
InsertResult LocalEngine::put(const IpPrefix& prefix, RecordRef record) {
  return visit([&]<class S>(S s) {
    using K = typename S::K;
    // One trie engine's insert or load of one stored record.
    auto trie_put = [&prefix]<TrieForm F>(TrieEngine& e, RecordRef r) {
      if constexpr (Count) return e.insert_shared<F>(prefix, std::move(r));
      else return e.load_shared<F>(prefix, std::move(r));
    };
    if constexpr (S::kGroup && K::kTrie) {
      return fan_out_insert(s.g, record, [&](std::shared_ptr<TrieEngine>& e, const RecordRef& r) {
        return trie_put.template operator()<K::kForm>(*e, r);
      });
    } else if constexpr (S::kGroup) {
      return fan_out_insert(s.g, record, [&](AdaptiveEngine& e, const RecordRef& r) { return e.insert_shared(prefix, r); });
    } else if constexpr (K::kTrie) {
      return trie_put.template operator()<K::kForm>(s.e, std::move(record));
    } else {
      return s.e.insert_shared(prefix, std::move(record));
    }
  });
}

InsertResult LocalEngine::insert(const IpPrefix& prefix, Metadata record) {
  return put<true>(prefix, RecordRef::intern(record));
}

InsertResult LocalEngine::load(const IpPrefix& prefix, Metadata record) {
  return put<false>(prefix, RecordRef::intern(record));
}

InsertResult LocalEngine::insert_record(const IpPrefix& prefix, RecordRef record) {
  return put<true>(prefix, std::move(record));
}

template <bool Count>
InsertResult LocalEngine::put_many(const IpPrefix* prefixes, RecordRef* records, std::size_t n, std::size_t* done) {
  *done = 0;
  visit([&]<class S>(S s) {
    using K = typename S::K;
    if constexpr (!K::kTrie) {
      // The trees: one write per element, into every shard.
      for (std::size_t i = 0; i < n; ++i) (void)put<Count>(prefixes[i], std::move(records[i]));
    } else if constexpr (S::kGroup) {
      // Shards of one trie: shard 0's bulk load is the whole write (see
      // writing_shards); shards over tries of their own each load shares
      // of the same records.
      auto& g = s.g;
      const std::size_t writers = writing_shards(g);
      for (std::size_t i = 0; i < writers; ++i) {
        std::vector<RecordRef> shares;
        if (i + 1 < writers) shares.assign(records, records + n);
        g.shards[i]->template bulk_load<K::kForm>(prefixes, i + 1 < writers ? shares.data() : records, n, Count);
      }
    } else {
      s.e.template bulk_load<K::kForm>(prefixes, records, n, Count);
    }
  });
  *done = n;
  return InsertResult::success();
}

InsertResult LocalEngine::insert_records(const IpPrefix* prefixes, RecordRef* records, std::size_t n,
                                         std::size_t* done) {
  return put_many<true>(prefixes, records, n, done);
}

InsertResult LocalEngine::load_records(const IpPrefix* prefixes, RecordRef* records, std::size_t n,
                                       std::size_t* done) {
  return put_many<false>(prefixes, records, n, done);
}

std::optional<Metadata> LocalEngine::lookup(const IpAddress& address) const {
  return visit([&]<class S>(S s) { return S::K::lookup(s.route(address), address); });
}

bool LocalEngine::lookup_with(const IpAddress& address, RecordVisitor visit_record) const {
  return visit([&]<class S>(S s) { return S::K::lookup_with(s.route(address), address, visit_record); });
}

// Batch reads of a sharded trie.  Every shard the factory builds is an
// engine over one shared trie and read index, differing only in the
// counters a lookup moves; so a batch is one walk of that index (through
// shard 0, whose answers are every shard's), and then each lookup is counted
// on the shard that select() routes its address to, as a single lookup is.
// Counted per chunk of kReadChunk: an error in a chunk leaves the chunks
// before it answered and counted, as on one engine.
template <class TrieRun, class Hit, class Adaptive>
void LocalEngine::read_many(const IpAddress* addresses, std::size_t n, TrieRun&& run, Hit&& hit, Adaptive&& one) const {
  visit([&]<class S>(S s) {
    using K = typename S::K;
    if constexpr (!K::kTrie) {
      for (std::size_t i = 0; i < n; ++i) one(i);
    } else if constexpr (S::kGroup) {
      auto& g = s.g;
      if (writing_shards(g) != 1) {  // shards over several tries (or none): each address on its own
        for (std::size_t i = 0; i < n; ++i) run.template operator()<K::kForm>(s.route(addresses[i]), i, 1, Tally::here);
        return;
      }
      std::vector<std::array<std::uint64_t, 2>> tally(g.shards.size());  // hits, misses per shard
      for (std::size_t base = 0; base < n; base += TrieEngine::kReadChunk) {
        const std::size_t m = std::min(TrieEngine::kReadChunk, n - base);
        run.template operator()<K::kForm>(*g.shards[0], base, m, Tally::caller);
        for (std::size_t i = base; i < base + m; ++i) ++tally[g.select(addresses[i])][hit(i) ? 0 : 1];
        for (std::size_t k = 0; k < tally.size(); ++k) {
          if (tally[k][0] | tally[k][1]) g.shards[k]->count_lookups(tally[k][0], tally[k][1]);
          tally[k] = {0, 0};
        }
      }
    } else {
      run.template operator()<K::kForm>(s.e, 0, n, Tally::here);
    }
  });
}

void LocalEngine::lookup_many(const IpAddress* addresses, std::size_t n, HeldRecord* out) const {
  read_many(
      addresses, n,
      [&]<TrieForm F>(TrieEngine& t, std::size_t from, std::size_t count, Tally tally) {
        t.lookup_many<F>(addresses + from, count, out + from, tally);
      },
      [&](std::size_t i) { return static_cast<bool>(out[i]); },
      [&](std::size_t i) {
        out[i] = hold_lent(*this, addresses[i]);
      });
}

void LocalEngine::contains_many(const IpAddress* addresses, std::size_t n, bool* found) const {
  read_many(
      addresses, n,
      [&]<TrieForm F>(TrieEngine& t, std::size_t from, std::size_t count, Tally tally) {
        t.contains_many<F>(addresses + from, count, found + from, tally);
      },
      [&](std::size_t i) { return found[i]; },
      [&](std::size_t i) { found[i] = lookup_with(addresses[i], RecordVisitor{}); });
}

void LocalEngine::lookup_many_with(const IpAddress* addresses, std::size_t n, bool* found,
                                   BatchVisitor visit_record) const {
  read_many(
      addresses, n,
      [&]<TrieForm F>(TrieEngine& t, std::size_t from, std::size_t count, Tally tally) {
        // Indices as the caller numbers them, not from `from`.
        t.lookup_many_with<F>(addresses + from, count, found + from, visit_record, tally, from);
      },
      [&](std::size_t i) { return found[i]; },
      [&](std::size_t i) {
        found[i] = lookup_with(addresses[i], [&](const RecordView& r) { visit_record(i, r); });
      });
}

InsertResult LocalEngine::insert_many(const IpPrefix* prefixes, Metadata* records, std::size_t n,
                                      std::size_t* done) {
  std::vector<RecordRef> stored(n);
  for (std::size_t i = 0; i < n; ++i) stored[i] = RecordRef::intern(records[i]);
  return insert_records(prefixes, stored.data(), n, done);
}

std::optional<Metadata> LocalEngine::remove(const IpPrefix& prefix) {
  return visit([&]<class S>(S s) {
    using K = typename S::K;
    if constexpr (S::kGroup) {
      return fan_out_remove(s.g, [&](typename K::Shard& e) { return K::take(K::engine(e), prefix); });
    } else {
      return K::remove(s.e, prefix);
    }
  });
}

bool LocalEngine::erase(const IpPrefix& prefix) {
  return visit([&]<class S>(S s) {
    using K = typename S::K;
    if constexpr (S::kGroup) {
      return static_cast<bool>(fan_out_take(s.g, [&](typename K::Shard& e) { return K::take(K::engine(e), prefix); }));
    } else {
      return static_cast<bool>(K::take(s.e, prefix));
    }
  });
}

bool LocalEngine::contains_prefix(const IpPrefix& prefix) const {
  return visit([&]<class S>(S s) {
    auto* e = s.first();
    return e != nullptr && S::K::contains_prefix(*e, prefix);
  });
}

void LocalEngine::clear() {
  visit([&]<class S>(S s) {
    for (std::size_t i = 0; i < s.size(); ++i) S::K::clear(*s.at(i));
  });
}

std::uint64_t LocalEngine::len() const {
  return visit([&]<class S>(S s) -> std::uint64_t {
    auto* e = s.first();
    return e ? e->len() : 0;
  });
}

EngineStats LocalEngine::stats() const {
  return visit([&]<class S>(S s) {
    using K = typename S::K;
    if constexpr (!K::kTrie) {
      // The tree engines count nothing but their size.
      auto* e = s.first();
      return EngineStats{.size = e ? e->len() : 0};
    } else if constexpr (S::kGroup) {
      // Every insert passes through shard 0 exactly once, so its `inserts` is
      // exact.  A stored prefix is taken out by exactly one shard's remove,
      // usually shard 0's, but a later shard's when writes interleave, so
      // removals are summed.  The prefix count belongs to the shared trie.
      // Lookups are spread over the shards and summed.
      EngineStats out;
      for (std::size_t i = 0; i < s.size(); ++i) {
        const EngineStats st = s.at(i)->stats();
        if (i == 0) {
          out.inserts = st.inserts;
          out.size = st.size;
        }
        out.removals += st.removals;
        out.lookups += st.lookups;
        out.hits += st.hits;
        out.misses += st.misses;
      }
      return out;
    } else {
      return s.e.stats();
    }
  });
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

HeldRecord LocalEngine::exact(const IpPrefix& prefix) const {
  return with_entry_shard(HeldRecord{}, [&](const auto& e) { return e.exact(prefix); });
}

void LocalEngine::list_entries(EntrySink& sink) const {
  if (const TrieEngine* t = trie(0)) return t->list_entries(sink);
  const AdaptiveEngine* a = adaptive_engine(0);
  for (const std::uint8_t family : {kIpv4, kIpv6}) {
    sink.begin(family);
    if (!a) continue;
    for (const Entry& e : a->covered(IpPrefix{family, {}, 0})) sink.put(e.prefix, e.record.view());
  }
}

// The three accessors below never panic: a tag outside the six reads as an
// unsharded engine of neither family.

std::size_t LocalEngine::shard_count() const noexcept {
  if (tag_ > LocalTag::sharded_adaptive) return 1;
  return visit([]<class S>(S s) { return s.size(); });
}

const TrieEngine* LocalEngine::trie(std::size_t shard) const noexcept {
  if (tag_ > LocalTag::sharded_adaptive) return nullptr;
  return visit([&]<class S>(S s) -> const TrieEngine* {
    if constexpr (S::K::kTrie) return s.at(shard);
    else return nullptr;
  });
}

const AdaptiveEngine* LocalEngine::adaptive_engine(std::size_t shard) const noexcept {
  if (tag_ > LocalTag::sharded_adaptive) return nullptr;
  return visit([&]<class S>(S s) -> const AdaptiveEngine* {
    if constexpr (S::K::kTrie) return nullptr;
    else return s.at(shard);
  });
}

}  // namespace netrove
