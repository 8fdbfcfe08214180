// Table files: the CRC-32C units against a bit-at-a-time reference, saving
// and reading back through every engine kind, each way a file can be cut,
// flipped or doctored (a correct checksum over a wrong header or body
// included), and the atomic replace: a crash before the rename, failing
// steps, and reading the file back as a map or a pipe.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <stdexcept>

#include "netrove/factory.hpp"
#include "netrove/load.hpp"
#include "netrove/snapshot.hpp"
#include "netrove/table_file.hpp"
#include "support/oracle.hpp"
#include "tablefile/atomic_file.hpp"
#include "tablefile/crc32c.hpp"

namespace {

namespace fs = std::filesystem;
using namespace nt;
using netrove::Engine;
using netrove::EngineConfig;
using netrove::EngineType;
using netrove::LoadError;
using netrove::SnapshotContents;
using netrove::TableFileInfo;

/// CRC-32C one bit at a time, straight from the reflected polynomial.
std::uint32_t reference_crc(std::uint32_t crc, const void* data, std::size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  crc = ~crc;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::uint64_t get_le(const std::string& s, std::size_t at, unsigned n) {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < n; ++i) v |= std::uint64_t{static_cast<unsigned char>(s[at + i])} << (8 * i);
  return v;
}
void put_le(std::string& s, std::size_t at, std::uint64_t v, unsigned n) {
  for (unsigned i = 0; i < n; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}
/// `file` with its body length and checksum made right for whatever it now holds.
std::string resealed(std::string file) {
  put_le(file, 28, file.size() - 40, 8);
  std::uint32_t crc = netrove::crc::crc32c(0, file.data() + 12, 24);
  put_le(file, 36, netrove::crc::crc32c(crc, file.data() + 40, file.size() - 40), 4);
  return file;
}

/// A record from a small pool, so that prefixes share some: up to three
/// attributes, some texts outside ASCII.
Metadata record(std::uint64_t id) {
  Metadata m;
  m.value.append("r").append(std::to_string(id)).append(id % 5 == 0 ? "\xc3\xbc" : "");
  for (std::uint64_t j = 0; j < id % 4; ++j) {
    std::string k("k"), a("a");
    m.attributes.emplace(k.append(std::to_string(j)), a.append(std::to_string(id * 7 + j)));
  }
  return m;
}
/// A record's contents with its attributes in order, to count distinct ones.
std::string record_key(const Metadata& m) {
  std::map<std::string, std::string> sorted(m.attributes.begin(), m.attributes.end());
  std::string k = m.value;
  for (const auto& [a, b] : sorted) k += '\0' + a + '\0' + b;
  return k;
}

/// Contents that must be gone after a refusal.
SnapshotContents junk() {
  SnapshotContents c;
  c.prefixes.push_back(p4(1, 2, 3, 0, 24));
  c.records.push_back(netrove::RecordRef::intern(md("junk")));
  return c;
}

/// Reads `bytes` expecting a refusal whose text holds `word`.
void expect_refused(std::string_view bytes, const std::string& word) {
  SnapshotContents out = junk();
  const auto error = netrove::read_table_file(bytes, out);
  ASSERT_TRUE(error.has_value()) << "accepted " << bytes.size() << " bytes, expected: " << word;
  EXPECT_NE(error->find(word), std::string::npos) << *error << " (expected: " << word << ")";
  EXPECT_TRUE(out.prefixes.empty() && out.records.empty()) << *error;
}

/// A folder of its own for each test, removed after it.
class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string t = (fs::temp_directory_path() / "netrove-tablefile-XXXXXX").string();
    ASSERT_NE(::mkdtemp(t.data()), nullptr);
    dir_ = t;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::set<std::string> names() const {
    std::set<std::string> s;
    for (const auto& e : fs::directory_iterator(dir_)) s.insert(e.path().filename().string());
    return s;
  }
  static std::string contents(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  fs::path dir_;
};

/// A small table of both families, records with attributes.
std::unique_ptr<Engine> small_table() {
  auto e = netrove::create_engine(EngineConfig{});
  const IpPrefix ps[] = {p4(10, 0, 0, 0, 8), p4(10, 1, 0, 0, 16), p4(192, 168, 1, 7, 32),
                         p6({0x2001, 0xdb8}, 31), p6({0xfe80}, 10)};
  for (std::size_t i = 0; i < std::size(ps); ++i) EXPECT_TRUE(e->insert(ps[i], record(i + 1)).ok());
  return e;
}

// ---------------------------------------------------------------------------

TEST(Crc32c, KnownVectorAndUnitsAgreeOneShotAndIncremental) {
  const char* nine = "123456789";
  EXPECT_EQ(reference_crc(0, nine, 9), 0xE3069283u);
  EXPECT_EQ(netrove::crc::crc32c(0, nine, 9), 0xE3069283u);
  EXPECT_EQ(netrove::crc::crc32c_portable(0, nine, 9), 0xE3069283u);
  const bool sse = netrove::crc::sse42_available();
  if (sse) {
    EXPECT_EQ(netrove::crc::crc32c_sse42(0, nine, 9), 0xE3069283u);
  }

  std::mt19937_64 rng(42);
  std::vector<unsigned char> buf(300 + 8);
  for (std::size_t n = 0; n <= 300; ++n) {
    for (auto& b : buf) b = static_cast<unsigned char>(rng());
    const unsigned char* data = buf.data() + rng() % 8;  // every alignment
    const std::uint32_t want = reference_crc(0, data, n);
    ASSERT_EQ(netrove::crc::crc32c_portable(0, data, n), want) << n;
    ASSERT_EQ(netrove::crc::crc32c(0, data, n), want) << n;
    if (sse) {
      ASSERT_EQ(netrove::crc::crc32c_sse42(0, data, n), want) << n;
    }
    for (int t = 0; t < 4; ++t) {
      const std::size_t k = n == 0 ? 0 : rng() % (n + 1), j = k + (n == k ? 0 : rng() % (n - k + 1));
      ASSERT_EQ(netrove::crc::crc32c_portable(netrove::crc::crc32c_portable(0, data, k), data + k, n - k), want) << n << " " << k;
      if (!sse) continue;
      ASSERT_EQ(netrove::crc::crc32c_sse42(netrove::crc::crc32c_sse42(0, data, k), data + k, n - k), want) << n << " " << k;
      // Three pieces, the units taking turns.
      std::uint32_t c = netrove::crc::crc32c_sse42(0, data, k);
      c = netrove::crc::crc32c_portable(c, data + k, j - k);
      ASSERT_EQ(netrove::crc::crc32c_sse42(c, data + j, n - j), want) << n << " " << k << " " << j;
    }
  }
}

// ---------------------------------------------------------------------------

struct Kind {
  std::string name;
  EngineConfig config;
};
void PrintTo(const Kind& k, std::ostream* os) { *os << k.name; }

std::vector<Kind> kinds() {
  std::vector<Kind> v;
  for (std::uint8_t t = 0; t <= 4; ++t) {
    EngineConfig c;
    c.engine_type = static_cast<EngineType>(t);
    v.push_back({"type" + std::to_string(t), c});
  }
  EngineConfig c;
  c.engine_type = EngineType::trie_fixed_shards, c.shards = 3;
  v.push_back({"type5_3shards", c});
  c = {};
  c.path_compression = false, c.node_style = netrove::NodeStyle::atomic;
  v.push_back({"type0_uncompressed_atomic", c});
  c = {};
  c.enable_cache = true, c.cache_capacity = 64;
  v.push_back({"type0_cached", c});
  return v;
}

class TableFileRoundTrip : public ::testing::TestWithParam<Kind> {
 protected:
  fs::path dir_ = fs::temp_directory_path() / ("netrove-roundtrip-" + std::to_string(::getpid()));
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }

  /// Saves `e`, checks the header field by field and reads the file back as
  /// the engine's entries; then loads it into a fresh engine of the kind and
  /// checks that one saves the same entries.
  void check(const Engine& e) {
    const auto entries = dynamic_cast<const netrove::EntryReader&>(e).all();
    ASSERT_EQ(entries.size(), e.len());
    std::uint64_t v4 = 0;
    std::set<std::string> distinct;
    for (const auto& x : entries) v4 += x.prefix.family == kIpv4, distinct.insert(record_key(x.record.view().to_metadata()));

    const std::string bytes = netrove::table_file_bytes(e);
    ASSERT_GE(bytes.size(), 40u);
    EXPECT_EQ(bytes.substr(0, 8), "NRVTABLE");
    EXPECT_EQ(get_le(bytes, 8, 4), 1u);
    EXPECT_EQ(get_le(bytes, 12, 8), v4);
    EXPECT_EQ(get_le(bytes, 20, 8), entries.size() - v4);
    EXPECT_EQ(get_le(bytes, 28, 8), bytes.size() - 40);
    const std::uint32_t crc = reference_crc(reference_crc(0, bytes.data() + 12, 24), bytes.data() + 40, bytes.size() - 40);
    EXPECT_EQ(get_le(bytes, 36, 4), crc);
    EXPECT_TRUE(netrove::looks_like_table_file(bytes));

    const std::string path = (dir_ / "t.nrv").string();
    netrove::save_table_file(e, path);
    std::ifstream in(path, std::ios::binary);
    ASSERT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), bytes);
    netrove::FileBytes mapped(path);
    ASSERT_EQ(mapped.bytes(), bytes);

    SnapshotContents out = junk();  // replaced, not added to
    TableFileInfo info;
    ASSERT_EQ(netrove::read_table_file(mapped.bytes(), out, &info), std::nullopt);
    ASSERT_EQ(out.prefixes.size(), entries.size());
    ASSERT_EQ(out.records.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      ASSERT_EQ(text(out.prefixes[i], ""), text(entries[i].prefix, "")) << i;
      ASSERT_EQ(out.records[i].view().to_metadata(), entries[i].record.view().to_metadata()) << i;
    }
    EXPECT_EQ(info.version, 1u);
    EXPECT_EQ(info.ipv4_prefixes, v4);
    EXPECT_EQ(info.ipv6_prefixes, entries.size() - v4);
    EXPECT_EQ(info.records, distinct.size());
    EXPECT_EQ(info.bytes, bytes.size());

    auto copy = netrove::create_engine(GetParam().config);
    ASSERT_EQ(netrove::load_snapshot(*copy, std::string_view(bytes).substr(40)), std::nullopt);
    EXPECT_EQ(texts(dynamic_cast<const netrove::EntryReader&>(*copy).all()), texts(entries));
  }
};
INSTANTIATE_TEST_SUITE_P(Kinds, TableFileRoundTrip, ::testing::ValuesIn(kinds()), [](const auto& i) { return i.param.name; });

TEST_P(TableFileRoundTrip, EmptyOneAndManyPrefixes) {
  { SCOPED_TRACE("empty"); check(*netrove::create_engine(GetParam().config)); }
  const IpPrefix singles[] = {p4(0, 0, 0, 0, 0), p4(255, 255, 255, 255, 32), prefix(v6({}), 0),
                              p6({0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff}, 128)};
  for (const IpPrefix& p : singles) {
    SCOPED_TRACE(text(p, "single"));
    auto e = netrove::create_engine(GetParam().config);
    ASSERT_TRUE(e->insert(p, record(3)).ok());
    ASSERT_EQ(e->len(), 1u);
    check(*e);
  }
  for (std::uint64_t seed : {1, 2}) {
    SCOPED_TRACE(seed);
    auto e = netrove::create_engine(GetParam().config);
    Generator gen(seed);
    for (const IpPrefix& p : singles) ASSERT_TRUE(e->insert(p, record(gen.pick(700))).ok());
    for (int i = 0; i < 3000; ++i) ASSERT_TRUE(e->insert(gen.prefix(), record(gen.pick(700))).ok());
    ASSERT_GT(e->len(), 1500u);  // more prefixes than the 700 records: many share one
    check(*e);
  }
}

// ---------------------------------------------------------------------------

TEST(TableFileRefusal, EveryTruncation) {
  const std::string file = netrove::table_file_bytes(*small_table());
  SnapshotContents ok;
  ASSERT_EQ(netrove::read_table_file(file, ok), std::nullopt);
  ASSERT_EQ(ok.prefixes.size(), 5u);
  ASSERT_GT(file.size(), 60u);
  for (std::size_t n = 0; n < file.size(); ++n) {
    SCOPED_TRACE(n);
    expect_refused(std::string_view(file).substr(0, n), n == 0 ? "not a netrove table file" : "truncated");
  }
  expect_refused("NRVTABLX", "not a netrove table file");
  expect_refused("X", "not a netrove table file");
}

TEST(TableFileRefusal, EveryByteFlipped) {
  const std::string file = netrove::table_file_bytes(*small_table());
  for (std::size_t i = 0; i < file.size(); ++i) {
    for (const unsigned mask : {0xFFu, 1u << (i % 8)}) {
      SCOPED_TRACE(testing::Message() << "byte " << i << " ^ " << mask);
      std::string bad = file;
      bad[i] = static_cast<char>(bad[i] ^ mask);
      if (i < 8) {
        expect_refused(bad, "not a netrove table file");
      } else if (i < 12) {
        expect_refused(bad, "version");
      } else if (i >= 28 && i < 36) {
        // The body length: more announced than follows, or fewer.
        SnapshotContents out = junk();
        const auto error = netrove::read_table_file(bad, out);
        ASSERT_TRUE(error.has_value());
        EXPECT_TRUE(error->find("truncated") != std::string::npos || error->find("after the body") != std::string::npos) << *error;
        EXPECT_TRUE(out.prefixes.empty() && out.records.empty());
      } else {
        expect_refused(bad, "checksum");
      }
    }
  }
}

TEST(TableFileRefusal, VersionsOtherThanOne) {
  const std::string file = netrove::table_file_bytes(*small_table());
  for (const std::uint32_t v : {0u, 2u, 0x100u, 0xFFFFFFFFu}) {
    std::string bad = file;
    put_le(bad, 8, v, 4);
    SCOPED_TRACE(v);
    expect_refused(bad, v == 2 ? "version 2" : "version");
  }
}

TEST(TableFileRefusal, CorrectChecksumOverABadBody) {
  const std::string file = netrove::table_file_bytes(*small_table());
  ASSERT_EQ(resealed(file), file);
  const std::string body = file.substr(40);
  // Random bytes for a body.
  std::mt19937_64 rng(7);
  for (int t = 0; t < 50; ++t) {
    std::string bad = file.substr(0, 40);
    for (std::size_t n = rng() % 200; n > 0; --n) bad += static_cast<char>(rng());
    expect_refused(resealed(bad), "corrupt");
  }
  // The snapshot cut short anywhere, or with a byte after it.
  for (std::size_t n = 0; n < body.size(); ++n) {
    SCOPED_TRACE(n);
    expect_refused(resealed(file.substr(0, 40 + n)), "corrupt");
  }
  expect_refused(resealed(file + '\0'), "corrupt");
  // A host bit set in the last entry, fe80::/10 (its record index is the
  // last byte, its address bytes fe 80 before that).
  std::string host = file;
  ASSERT_EQ(static_cast<unsigned char>(host[host.size() - 2]), 0x80) << "the layout of the last entry changed";
  host[host.size() - 2] = static_cast<char>(0x81);
  expect_refused(resealed(host), "corrupt");
  // Any one body byte changed under a correct checksum: refused as corrupt,
  // or read as a table that agrees with the header.
  std::size_t refused = 0;
  for (std::size_t i = 40; i < file.size(); ++i) {
    std::string bad = file;
    bad[i] = static_cast<char>(bad[i] ^ 0xFF);
    SnapshotContents out = junk();
    const auto error = netrove::read_table_file(resealed(bad), out);
    if (error) {
      ++refused;
      EXPECT_EQ(error->rfind("corrupt", 0), 0u) << i << ": " << *error;
      EXPECT_TRUE(out.prefixes.empty() && out.records.empty());
    } else {
      EXPECT_EQ(out.prefixes.size(), 5u) << i;
    }
  }
  EXPECT_GT(refused, body.size() / 2);
}

TEST(TableFileRefusal, HeaderCountsThatDisagreeWithTheBody) {
  const std::string file = netrove::table_file_bytes(*small_table());
  ASSERT_EQ(get_le(file, 12, 8), 3u);
  ASSERT_EQ(get_le(file, 20, 8), 2u);
  const std::pair<std::uint64_t, std::uint64_t> counts[] = {{4, 2}, {2, 2}, {3, 3}, {3, 1}, {2, 3}, {0, 0}, {5, 0}, {~0ull, 2}};
  for (const auto& [a, b] : counts) {
    SCOPED_TRACE(testing::Message() << a << " " << b);
    std::string bad = file;
    put_le(bad, 12, a, 8);
    put_le(bad, 20, b, 8);
    expect_refused(resealed(bad), "corrupt");
    expect_refused(resealed(bad), "header counts");
  }
}

TEST(TableFileRefusal, TrailingBytes) {
  const std::string file = netrove::table_file_bytes(*small_table());
  for (const std::string& tail : {std::string(1, '\0'), std::string("xy"), std::string(100, 'z'), file}) {
    SCOPED_TRACE(tail.size());
    expect_refused(file + tail, "corrupt");
  }
}

// ---------------------------------------------------------------------------

using AtomicFile = TempDir;

TEST_F(AtomicFile, ReplacesAndLeavesNothingBeside) {
  const std::string path = (dir_ / "t.nrv").string();
  auto a = small_table();
  netrove::save_table_file(*a, path);
  EXPECT_EQ(contents(path), netrove::table_file_bytes(*a));
  auto b = netrove::create_engine(EngineConfig{});
  ASSERT_TRUE(b->insert(p6({0x2001, 0xdb8, 1}, 48), md("b", "k", "v")).ok());
  netrove::save_table_file(*b, path);
  EXPECT_EQ(contents(path), netrove::table_file_bytes(*b));
  netrove::tablefile::write_atomically(path, {"ab", "", "cd"});
  EXPECT_EQ(contents(path), "abcd");
  EXPECT_EQ(names(), std::set<std::string>{"t.nrv"});
  // A bare name: the current folder.
  const fs::path was = fs::current_path();
  fs::current_path(dir_);
  netrove::tablefile::write_atomically("bare", {"x"});
  fs::current_path(was);
  EXPECT_EQ(contents(dir_ / "bare"), "x");
  EXPECT_EQ(names(), (std::set<std::string>{"bare", "t.nrv"}));
}

TEST_F(AtomicFile, CrashBeforeTheRenameKeepsTheOldFile) {
  const std::string path = (dir_ / "t.nrv").string();
  const std::string old_bytes = netrove::table_file_bytes(*small_table());
  netrove::tablefile::write_atomically(path, {old_bytes});
  const std::string new_bytes(100000, 'n');
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    try {
      netrove::tablefile::write_atomically(path, {new_bytes}, [] { ::_exit(0); });
    } catch (...) {
      ::_exit(2);
    }
    ::_exit(1);  // renamed without stopping at the hook
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(contents(path), old_bytes);
  // The new bytes sit whole in the temporary file the crash left.
  std::set<std::string> left = names();
  ASSERT_EQ(left.size(), 2u);
  left.erase("t.nrv");
  const std::string temp = *left.begin();
  EXPECT_EQ(temp.rfind("t.nrv.tmp-" + std::to_string(child) + "-", 0), 0u) << temp;
  EXPECT_EQ(contents(dir_ / temp), new_bytes);
}

TEST_F(AtomicFile, FailuresLeaveNoTemporaryAndTheTargetAsItWas) {
  auto table = small_table();
  auto expect_io = [&](const std::function<void()>& f, int error) {
    try {
      f();
      ADD_FAILURE() << "no error";
    } catch (const LoadError& e) {
      EXPECT_EQ(e.kind(), LoadError::Kind::io);
      EXPECT_EQ(e.error_number(), error) << e.what();
    }
  };
  // A folder that does not exist.
  const std::string missing = (dir_ / "nope" / "t.nrv").string();
  expect_io([&] { netrove::save_table_file(*table, missing); }, ENOENT);
  expect_io([&] { netrove::tablefile::write_atomically(missing, {"x"}); }, ENOENT);
  EXPECT_TRUE(names().empty());
  // A folder as the target, with a file inside.
  fs::create_directory(dir_ / "sub");
  { std::ofstream(dir_ / "sub" / "keep") << "kept"; }
  expect_io([&] { netrove::save_table_file(*table, (dir_ / "sub").string()); }, EISDIR);
  expect_io([&] { netrove::tablefile::write_atomically((dir_ / "sub").string(), {"x"}); }, EISDIR);
  EXPECT_EQ(names(), std::set<std::string>{"sub"});
  EXPECT_TRUE(fs::is_directory(dir_ / "sub"));
  EXPECT_EQ(contents(dir_ / "sub" / "keep"), "kept");
  // Failing just before the rename: the old file stays, the temporary goes.
  const std::string path = (dir_ / "t.nrv").string();
  netrove::tablefile::write_atomically(path, {"old"});
  EXPECT_THROW(netrove::tablefile::write_atomically(path, {"new"}, [] { throw std::runtime_error("stop"); }),
               std::runtime_error);
  EXPECT_EQ(contents(path), "old");
  EXPECT_EQ(names(), (std::set<std::string>{"sub", "t.nrv"}));
  // The rename itself failing: the target became a folder meanwhile.
  expect_io([&] {
    netrove::tablefile::write_atomically(path, {"new"}, [&] {
      fs::remove(path);
      fs::create_directory(path);
      std::ofstream(fs::path(path) / "inside") << "i";
    });
  }, EISDIR);
  EXPECT_EQ(names(), (std::set<std::string>{"sub", "t.nrv"}));
  EXPECT_EQ(contents(fs::path(path) / "inside"), "i");
}

TEST_F(AtomicFile, FileBytesMapsReadsAndRefuses) {
  auto expect_errno = [](const std::string& path, int error) {
    try {
      netrove::FileBytes f(path);
      ADD_FAILURE() << path << " opened";
    } catch (const LoadError& e) {
      EXPECT_EQ(e.kind(), LoadError::Kind::io);
      EXPECT_EQ(e.error_number(), error) << e.what();
    }
  };
  expect_errno(dir_.string(), EISDIR);
  expect_errno((dir_ / "missing").string(), ENOENT);
  { std::ofstream(dir_ / "empty"); }
  netrove::FileBytes empty((dir_ / "empty").string());
  EXPECT_TRUE(empty.bytes().empty());
  expect_refused(empty.bytes(), "not a netrove table file");
  // A pipe, longer than one read.
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string big;
  std::mt19937 rng(3);
  for (int i = 0; i < 300000; ++i) big += static_cast<char>(rng());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::ofstream(fifo, std::ios::binary) << big;
    ::_exit(0);
  }
  {
    netrove::FileBytes piped(fifo);
    EXPECT_TRUE(piped.bytes() == big);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
}

}  // namespace
