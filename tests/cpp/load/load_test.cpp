// The loaders below the binding: ranges against a recursive cover, the
// codecs on streams read a few bytes at a time, lines across buffer
// growth, each text format's errors by line, and load_table into engines.
#include <gtest/gtest.h>
#include <zlib.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "load/ranges.hpp"
#include "sync/rcu.hpp"
#include "netrove/factory.hpp"
#include "netrove/load.hpp"
#include "netrove/text.hpp"
#include "support/oracle.hpp"

namespace {

using namespace nt;
using netrove::IpPrefix;
using netrove::LoadError;
using netrove::LoadFormat;
using netrove::LoadOptions;
using netrove::load::u128;

/// Bytes handed out `chunk` at a time at most (1 for the worst case).
class MemoryInput final : public netrove::LoadInput {
 public:
  MemoryInput(std::string data, std::size_t chunk) : data_(std::move(data)), chunk_(chunk) {}
  std::size_t read(char* buffer, std::size_t n) override {
    const std::size_t k = std::min({n, chunk_, data_.size() - at_});
    std::memcpy(buffer, data_.data() + at_, k);
    at_ += k;
    return k;
  }
  std::optional<std::uint64_t> size() const override { return data_.size(); }

 private:
  std::string data_;
  std::size_t chunk_, at_ = 0;
};

netrove::LoadedTable read(std::string data, LoadOptions o = {}, std::size_t chunk = 1 << 20) {
  MemoryInput in(std::move(data), chunk);
  return netrove::read_table(in, o);
}

std::string gzip(const std::string& plain) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, plain.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  z.avail_in = static_cast<uInt>(plain.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

/// The minimal cover by recursion over the aligned blocks: a block inside
/// the range is taken whole, one that overlaps it is split in two.
void cover(u128 lo, u128 hi, u128 start, unsigned bits, unsigned width, std::vector<std::pair<u128, unsigned>>& out) {
  const u128 end = start + ((u128{1} << bits) - 1);
  if (end < lo || start > hi) return;
  if (start >= lo && end <= hi) {
    out.emplace_back(start, width - bits);
    return;
  }
  cover(lo, hi, start, bits - 1, width, out);
  cover(lo, hi, start + (u128{1} << (bits - 1)), bits - 1, width, out);
}

TEST(Ranges, TheFewestBlocksAreTheRecursiveCover) {
  std::mt19937_64 rng(5);
  for (int i = 0; i < 3000; ++i) {
    const std::uint32_t base = static_cast<std::uint32_t>(rng()) & ~0xFFFFu;
    std::uint32_t a = base + rng() % 70000, b = base + rng() % 70000;
    if (a > b) std::swap(a, b);
    std::vector<IpPrefix> got;
    netrove::load::range_blocks(netrove::load::number_address(netrove::kIpv4, a),
                                netrove::load::number_address(netrove::kIpv4, b), got);
    std::vector<std::pair<u128, unsigned>> want;
    cover(a, b, 0, 32, 32, want);
    ASSERT_EQ(got.size(), want.size()) << a << "-" << b;
    for (std::size_t j = 0; j < got.size(); ++j) {
      netrove::IpAddress start{netrove::kIpv4, got[j].address};
      EXPECT_EQ(netrove::load::address_number(start), want[j].first);
      EXPECT_EQ(got[j].length, want[j].second);
    }
  }
  // The whole spaces and the last address.
  std::vector<IpPrefix> all;
  netrove::load::range_blocks(netrove::load::number_address(netrove::kIpv6, 0),
                              netrove::load::number_address(netrove::kIpv6, ~u128{0}), all);
  netrove::load::range_blocks(netrove::load::number_address(netrove::kIpv6, ~u128{0}),
                              netrove::load::number_address(netrove::kIpv6, ~u128{0}), all);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].length, 0);
  EXPECT_EQ(all[1].length, 128);
}

TEST(Codecs, GzipMembersReadAFewBytesAtATime) {
  std::string plain;
  for (int i = 0; i < 20000; ++i) plain += "10." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) + ".0/24\n";
  const std::string two = gzip(plain) + gzip("11.0.0.0/8\n");
  for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
    const netrove::LoadedTable t = read(two, {}, chunk);
    ASSERT_EQ(t.prefixes.size(), 20001u) << chunk;
    EXPECT_EQ(t.distinct_prefixes(), 20001u);
  }
  const std::string whole = gzip(plain);
  for (std::size_t cut : {std::size_t{5}, whole.size() / 2, whole.size() - 1}) {
    try {
      read(whole.substr(0, cut));
      ADD_FAILURE() << "a gzip stream cut at " << cut << " loaded";
    } catch (const LoadError& e) {
      EXPECT_EQ(e.kind(), LoadError::Kind::format);
      EXPECT_NE(std::string(e.what()).find("gzip data ends early"), std::string::npos) << e.what();
    }
  }
}

TEST(Lines, LongLinesGrowTheBufferAndTooLongOnesFail) {
  std::string csv = "network,note\n10.0.0.0/8," + std::string(3 << 20, 'x') + "\n";
  const netrove::LoadedTable t = read(csv);
  ASSERT_EQ(t.records.size(), 1u);
  EXPECT_EQ(t.records[0].view().value().size(), std::size_t{3} << 20);
  LoadOptions list;
  list.format = LoadFormat::list;
  EXPECT_THROW(read(std::string(17u << 20, ' ') + "\n", list), LoadError);
}

TEST(TextFormats, ErrorsNameTheSourceAndTheLine) {
  struct Case {
    LoadFormat format;
    std::string text, error;
  };
  const Case cases[] = {
      {LoadFormat::list, "10.0.0.0/8\n\n10.0.0.0/40\n", "src:3: not an address, CIDR or range: '10.0.0.0/40'"},
      {LoadFormat::list, "\xEF\xBB\xBF" "1.2.3.4 - 1.2.3.0\n", "src:1: a range that ends before it starts"},
      {LoadFormat::pfx2as, "1.0.0.0\t24\n", "src:1: expected network<TAB>length<TAB>origins"},
      {LoadFormat::pfx2as, "1.0.0.0\t24\t1\nx\t24\t1\n", "src:2: bad network 'x'"},
      {LoadFormat::ipasn, "; c\n1.0.0.0\t5\n", "src:2: bad prefix '1.0.0.0'"},
      {LoadFormat::csv, "network,v\r\n\"10.0.0.0/8\",\"a\n", "src:2: a quoted field that is never closed"},
      {LoadFormat::csv, "network,v\n10.0.0.0/8,a,b\n", "src:2: a row of 3 fields under a header of 2"},
  };
  for (const Case& c : cases) {
    LoadOptions o;
    o.format = c.format;
    o.source_name = "src";
    try {
      read(c.text, o);
      ADD_FAILURE() << c.text << " loaded";
    } catch (const LoadError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.error, 0), 0u) << e.what();
    }
  }
}

TEST(TextFormats, EveryOriginsTextHasItsOwnRecordAndEveryShareIsCounted) {
  // Thousands of distinct origins (the table grows several times), in
  // random order with repeats, of every length around the 8 bytes a slot
  // keeps inline: texts that are prefixes of one another, and long ones
  // equal in their first 8 bytes.
  std::mt19937_64 rng(11);
  std::vector<std::string> texts;
  for (int i = 0; i < 6000; ++i) texts.push_back(std::to_string(rng() % 100000));
  for (int i = 0; i < 3000; ++i) texts.push_back("12345678" + std::to_string(i % 7 == 0 ? i / 7 : i));
  for (int i = 0; i < 1000; ++i) texts.push_back(std::to_string(rng() % 1000) + "_" + std::to_string(rng() % 1000));
  texts.insert(texts.end(), {"1", "12", "1234567", "12345678", "123456789", "1234567_8", "4200000000"});
  std::string file, last_bad;
  std::map<std::string, std::uint32_t> lines_of;
  for (int i = 0; i < 40000; ++i) {
    const std::string& t = texts[rng() % 4 == 0 && i ? texts.size() - 1 - rng() % 7 : rng() % texts.size()];
    file += "10." + std::to_string(i >> 8 & 255) + "." + std::to_string(i & 255) + ".0/24\t" + t + "\n";
    ++lines_of[t];
  }
  netrove::rcu::drain();
  const auto before = netrove::record_census().records;
  {
    LoadOptions o;
    o.format = LoadFormat::ipasn;
    const netrove::LoadedTable table = read(file, o);
    ASSERT_EQ(table.records.size(), 40000u);
    std::map<std::string, const netrove::StoredRecord*> record_of;
    for (const netrove::RecordRef& r : table.records) {
      const netrove::Metadata m = r.view().to_metadata();
      ASSERT_EQ(m.attributes.size(), 1u);
      const std::string& t = m.attributes.at("origins");
      EXPECT_EQ(m.value, t.substr(0, t.find('_')));
      EXPECT_EQ(record_of.emplace(t, r.get()).first->second, r.get()) << t;
    }
    ASSERT_EQ(record_of.size(), lines_of.size());
    // The reader's own shares are gone; the table holds one per line.
    for (const auto& [t, r] : record_of) EXPECT_EQ(r->owners.load(), lines_of[t]) << t;
  }
  netrove::rcu::drain();
  EXPECT_EQ(netrove::record_census().records, before);
  // A bad line after thousands of good ones: every share handed out so
  // far is counted before the partial table goes, so nothing leaks and
  // nothing is freed twice (the sanitizer run checks the latter).
  LoadOptions o;
  o.format = LoadFormat::ipasn;
  EXPECT_THROW(read(file + "10.0.0.0/40\t1\n", o), LoadError);
  netrove::rcu::drain();
  EXPECT_EQ(netrove::record_census().records, before);
}

TEST(LoadTable, EveryEngineKindStoresTheDistinctPrefixesLaterLinesWinning) {
  for (const bool cached : {false, true})
    for (const auto type : {netrove::EngineType::trie, netrove::EngineType::sharded_atomic_trie,
                            netrove::EngineType::art}) {
      netrove::EngineConfig config;
      config.engine_type = type;
      config.enable_cache = cached;
      auto engine = netrove::create_engine(config);
      SCOPED_TRACE(testing::Message() << int(netrove::code(type)) << (cached ? " cached" : ""));
      MemoryInput in("1.0.0.0\t24\t1\n1.0.0.9\t24\t2\n2001:db8::\t32\t3_4\n", 5);
      EXPECT_EQ(netrove::load_table(*engine, in, {}), 2u);
      EXPECT_EQ(engine->len(), 2u);
      EXPECT_EQ(engine->lookup(v4(1, 0, 0, 1))->value, "2");
      if (type != netrove::EngineType::art) {  // the tree counts size only
        EXPECT_EQ(engine->stats().inserts, 3u);
      }
    }
}

TEST(LoadTable, PutInOrderKeepsWhatAnEngineKeeps) {
  // Random entries of both families, host bits set, equal networks repeated:
  // in order they are exactly an engine's entries after the same bulk load.
  std::mt19937_64 rng(7);
  netrove::LoadedTable table;
  for (int i = 0; i < 3000; ++i) {
    IpPrefix p;
    p.family = rng() % 2 ? netrove::kIpv4 : netrove::kIpv6;
    for (unsigned b = 0; b < (p.family == netrove::kIpv4 ? 4u : 16u); ++b) p.address[b] = rng() % 4 ? 10 : rng();
    p.length = static_cast<std::uint8_t>(rng() % (netrove::family_bits(p.family) + 1));
    table.prefixes.push_back(p);
    table.records.push_back(netrove::RecordRef::intern(netrove::Metadata{std::to_string(i), {}}));
  }
  auto engine = netrove::create_engine({});
  netrove::LoadedTable copy = table;
  netrove::store_table(*engine, copy);
  const std::size_t distinct = table.distinct_prefixes();
  table.put_in_order();
  const auto want = dynamic_cast<const netrove::EntryReader&>(*engine).all();
  ASSERT_EQ(table.prefixes.size(), want.size());
  ASSERT_EQ(distinct, want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(table.prefixes[i], want[i].prefix);
    EXPECT_EQ(table.records[i].get(), want[i].record.get());
  }
  // In order now, so counted without a sort; likewise with every entry twice.
  EXPECT_EQ(table.distinct_prefixes(), want.size());
  netrove::LoadedTable twice;
  for (const IpPrefix& p : table.prefixes) twice.prefixes.insert(twice.prefixes.end(), {p, p});
  EXPECT_EQ(twice.distinct_prefixes(), want.size());
}

}  // namespace
