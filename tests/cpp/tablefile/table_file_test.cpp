// Table files: CRC-32C units against a reference, round trips through every engine kind, every cut and
// flipped byte, doctored files under a correct checksum, and the atomic replace (a crash, failing steps).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>

#include "netrove/factory.hpp"
#include "netrove/load.hpp"
#include "netrove/table_file.hpp"
#include "support/oracle.hpp"
#include "tablefile/atomic_file.hpp"
#include "tablefile/crc32c.hpp"

namespace {

namespace fs = std::filesystem;
namespace crc = netrove::crc;
namespace tf = netrove::tablefile;
using namespace nt;
using netrove::SnapshotContents;
using U64s = std::vector<std::uint64_t>;

/// CRC-32C one bit at a time, straight from the reflected polynomial.
std::uint32_t reference_crc(std::uint32_t c, const void* data, std::size_t n) {
  c = ~c;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= static_cast<const unsigned char*>(data)[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0x82F63B78u & (0u - (c & 1u)));
  }
  return ~c;
}
/// `s` with `n` bytes at `at` set to `v`, little-endian.
std::string put_le(std::string s, std::size_t at, std::uint64_t v, unsigned n) {
  for (unsigned i = 0; i < n; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
  return s;
}
/// `file` with its body length and checksum made right for whatever it now holds.
std::string resealed(const std::string& file) {
  const std::string f = put_le(file, 28, file.size() - 40, 8);
  return put_le(f, 36, crc::crc32c(crc::crc32c(0, f.data() + 12, 24), f.data() + 40, f.size() - 40), 4);
}
std::string flipped(std::string s, std::size_t at, unsigned mask) { return s[at] = static_cast<char>(s[at] ^ mask), s; }

/// Record `id`, told apart by its value: up to three attributes, some texts outside ASCII.
Metadata record(std::uint64_t id) {
  Metadata m = md("r" + std::to_string(id) + (id % 5 == 0 ? "\xc3\xbc" : ""));
  for (std::uint64_t j = 0; j < id % 4; ++j) m.attributes.emplace(std::to_string(j) + "k", std::to_string(id * 7 + j));
  return m;
}

/// Reads `bytes` expecting a refusal whose text holds `word` (or `other`), the junk given emptied.
void expect_refused(std::string_view bytes, const std::string& word, const std::string& other = "\x01") {
  SnapshotContents out{{p4(1, 2, 3, 0, 24)}, {netrove::RecordRef::intern(md("junk"))}};
  const auto error = netrove::read_table_file(bytes, out);
  ASSERT_TRUE(error.has_value()) << "accepted " << bytes.size() << " bytes, expected: " << word;
  EXPECT_TRUE(error->find(word) != std::string::npos || error->find(other) != std::string::npos) << *error;
  EXPECT_TRUE(out.prefixes.empty() && out.records.empty()) << *error;
}

/// A small table: 10/8, 10.1/16, 192.168.1.7/32, 2001:db8::/31, fe80::/10.
std::unique_ptr<netrove::Engine> small_table() {
  auto e = netrove::create_engine(netrove::EngineConfig{});
  const IpPrefix ps[] = {p4(10, 0, 0, 0, 8), p4(10, 1, 0, 0, 16), p4(192, 168, 1, 7, 32), p6({0x2001, 0xdb8}, 31),
                         p6({0xfe80}, 10)};
  for (std::size_t i = 0; i < std::size(ps); ++i) EXPECT_TRUE(e->insert(ps[i], record(i + 1)).ok());
  return e;
}

TEST(Crc32c, UnitsAgreeWithTheReferenceWholeAndInPieces) {
  EXPECT_EQ(reference_crc(0, "123456789", 9), 0xE3069283u);
  std::mt19937_64 rng(42);
  std::vector<unsigned char> buf(308);
  for (std::size_t n = 0; n <= 300; ++n) {
    for (auto& b : buf) b = static_cast<unsigned char>(rng());
    const unsigned char* d = buf.data() + rng() % 8;  // every alignment
    const std::uint32_t want = reference_crc(0, d, n);
    const std::size_t k = rng() % (n + 1), j = k + rng() % (n - k + 1);
    ASSERT_EQ(crc::crc32c(0, d, n), want) << n;
    const auto pieces = [&](auto* f, auto* g) { return f(g(f(0, d, k), d + k, j - k), d + j, n - j); };
    ASSERT_EQ(pieces(crc::crc32c_portable, crc::crc32c_portable), want) << n << " " << k << " " << j;
    ASSERT_TRUE(!crc::sse42_available() || pieces(crc::crc32c_sse42, crc::crc32c_portable) == want) << n << " " << k;
  }
}

netrove::EngineConfig kind(int i) {  // 0-5 (5 with three shards), 0 uncompressed with atomic nodes, 1 cached
  netrove::EngineConfig c;
  c.engine_type = static_cast<netrove::EngineType>(i % 6);
  if (i == 5) c.shards = 3;
  if (i == 6) c.path_compression = false, c.node_style = netrove::NodeStyle::atomic;
  if (i == 7) c.enable_cache = true, c.cache_capacity = 64;
  return c;
}
class TableFileRoundTrip : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(Kinds, TableFileRoundTrip, ::testing::Range(0, 8));

TEST_P(TableFileRoundTrip, EmptyEdgesAndRandom) {
  const IpPrefix edges[] = {p4(0, 0, 0, 0, 0), p4(255, 255, 255, 255, 32), prefix(v6({}), 0),
                            p6({0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff}, 128)};
  for (int shape = 0; shape < 3; ++shape) {  // empty, the edges, the edges among 3000 random prefixes
    SCOPED_TRACE(shape);
    auto e = netrove::create_engine(kind(GetParam()));
    Generator gen(shape);
    for (const IpPrefix& p : edges) ASSERT_TRUE(shape == 0 || e->insert(p, record(gen.pick(700))).ok());
    for (int i = 0; shape == 2 && i < 3000; ++i) ASSERT_TRUE(e->insert(gen.prefix(), record(gen.pick(700))).ok());
    const auto entries = dynamic_cast<const netrove::EntryReader&>(*e).all();
    std::uint64_t v4 = 0;
    std::set<std::string> distinct;
    for (const auto& x : entries) v4 += x.prefix.family == kIpv4, distinct.insert(std::string(x.record.view().value()));
    ASSERT_TRUE(entries.size() == e->len() && (shape < 2 || distinct.size() < entries.size() / 2));  // shared records
    // The header field by field, then the file read back (saving: AtomicFile).
    const std::string bytes = netrove::table_file_bytes(*e);
    ASSERT_GE(bytes.size(), 40u);
    const std::size_t n = bytes.size() - 40;
    std::string head = put_le(put_le(std::string("NRVTABLE") + std::string(32, '\0'), 8, 1, 4), 12, v4, 8);
    head = put_le(put_le(head, 20, entries.size() - v4, 8), 28, n, 8);
    EXPECT_EQ(bytes.substr(0, 40), put_le(head, 36, reference_crc(reference_crc(0, &head[12], 24), &bytes[40], n), 4));
    SnapshotContents out{{p4(1, 2, 3, 0, 24)}, {}};  // replaced, not added to
    netrove::TableFileInfo info;
    ASSERT_EQ(netrove::read_table_file(bytes, out, &info), std::nullopt);
    ASSERT_TRUE(out.prefixes.size() == entries.size() && out.records.size() == entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
      ASSERT_TRUE(text(out.prefixes[i], "") == text(entries[i].prefix, "") &&
                  out.records[i].view().to_metadata() == entries[i].record.view().to_metadata()) << i;
    EXPECT_EQ(U64s({info.version, info.ipv4_prefixes, info.ipv6_prefixes, info.records, info.bytes}),
              U64s({1, v4, entries.size() - v4, distinct.size(), bytes.size()}));
    auto copy = netrove::create_engine(kind(GetParam()));
    ASSERT_EQ(netrove::load_snapshot(*copy, std::string_view(bytes).substr(40)), std::nullopt);
    EXPECT_EQ(texts(dynamic_cast<const netrove::EntryReader&>(*copy).all()), texts(entries));
  }
}

TEST(TableFileRefusal, EveryCutFlipVersionAndDoctoredFileUnderACorrectChecksum) {
  const std::string file = netrove::table_file_bytes(*small_table());
  for (std::size_t i = 0; i < file.size(); ++i) {
    SCOPED_TRACE(i);
    expect_refused(std::string_view(file).substr(0, i), i == 0 ? "not a netrove table file" : "truncated");
    const bool len = i >= 28 && i < 36;  // more body announced than follows, or less
    const char* word = i < 8 ? "not a netrove table file" : i < 12 ? "version" : len ? "truncated" : "checksum";
    for (unsigned m : {0xFFu, 1u << (i % 8)}) expect_refused(flipped(file, i, m), word, len ? "after the body" : word);
  }
  for (const std::uint32_t v : {0u, 2u, 0x100u, 0xFFFFFFFFu})
    expect_refused(put_le(file, 8, v, 4), v == 2 ? "version 2" : "version");
  // Resealed: random bodies, the body cut or followed by bytes, a host bit in fe80::/10 (last: fe 80, record).
  ASSERT_EQ(resealed(file), file);
  std::string rnd(10000, '\0');
  for (std::mt19937 rng(7); char& c : rnd) c = static_cast<char>(rng());
  for (int t = 0; t < 50; ++t) expect_refused(resealed(file.substr(0, 40) + rnd.substr(t * 199, t * 4)), "corrupt");
  for (std::size_t n = 40; n < file.size(); ++n) expect_refused(resealed(file.substr(0, n)), "corrupt");
  for (const auto& t : {std::string(1, '\0'), std::string("xy"), file}) expect_refused(resealed(file + t), "corrupt");
  ASSERT_EQ(static_cast<unsigned char>(file[file.size() - 2]), 0x80) << "the layout of the last entry changed";
  expect_refused(resealed(flipped(file, file.size() - 2, 1)), "corrupt");
  // Any one body byte changed: refused as corrupt, or read whole.
  std::size_t refused = 0;
  for (std::size_t i = 40; i < file.size(); ++i) {
    SnapshotContents out;
    const auto error = netrove::read_table_file(resealed(flipped(file, i, 0xFF)), out);
    refused += error.has_value();
    EXPECT_TRUE(error ? error->rfind("corrupt", 0) == 0 && out.prefixes.empty() : out.prefixes.size() == 5) << i;
  }
  EXPECT_GT(refused, (file.size() - 40) / 2);
  for (const auto& [a, b] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{
           {4, 2}, {2, 2}, {3, 3}, {3, 1}, {2, 3}, {0, 0}, {5, 0}, {~0ull, 2}})  // the file holds 3 and 2
    expect_refused(resealed(put_le(put_le(file, 12, a, 8), 20, b, 8)), "corrupt: the header counts");
}

/// The errno of the io LoadError `f` throws, or -1 (-2 for another exception).
int io_error(const std::function<void()>& f) {
  try {
    f();
  } catch (const netrove::LoadError& e) {
    return e.kind() == netrove::LoadError::Kind::io ? e.error_number() : -1;
  } catch (...) {
    return -2;
  }
  return -1;
}
std::string contents(const std::string& path) { return std::string(netrove::FileBytes(path).bytes()); }

TEST(AtomicFile, CrashBeforeTheRenameFailingStepsAndReplacing) {
  std::string dir = fs::temp_directory_path() / "netrove-tablefile-XXXXXX";
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  const std::shared_ptr<void> cleanup(nullptr, [&](void*) { fs::remove_all(dir); });
  const std::string path = dir + "/t.nrv", missing = dir + "/nope/t.nrv", sub = dir + "/sub";
  auto names = [&] {
    std::set<std::string> s;
    for (const auto& e : fs::directory_iterator(dir)) s.insert(e.path().filename().string());
    return s;
  };
  // A crash before the rename: the old file, and the new bytes whole in the temporary file left.
  tf::write_atomically(path, {"old"});
  const std::string new_bytes(100000, 'n');
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) io_error([&] { tf::write_atomically(path, {new_bytes}, [] { ::_exit(0); }); }), ::_exit(1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(contents(path), "old");
  ASSERT_EQ(names().size(), 2u);
  const std::string temp = *names().rbegin();  // after t.nrv
  EXPECT_EQ(temp.rfind("t.nrv.tmp-" + std::to_string(child) + "-", 0), 0u) << temp;
  EXPECT_EQ(contents(dir + "/" + temp), new_bytes);
  fs::remove(dir + "/" + temp);
  // A missing folder, a folder as the target (with a file inside): nothing written.
  auto table = small_table();
  EXPECT_EQ(io_error([&] { netrove::save_table_file(*table, missing); }), ENOENT);
  fs::create_directory(sub);
  std::ofstream(sub + "/keep") << "kept";
  EXPECT_EQ(io_error([&] { netrove::save_table_file(*table, sub); }), EISDIR);
  EXPECT_EQ(names(), (std::set<std::string>{"sub", "t.nrv"}));
  EXPECT_EQ(contents(sub + "/keep"), "kept");
  // Replaced whole, then failing just before the rename or at it (the target became a folder).
  netrove::save_table_file(*table, path);
  EXPECT_EQ(contents(path), netrove::table_file_bytes(*table));
  tf::write_atomically(path, {"ol", "", "d"});
  EXPECT_THROW(tf::write_atomically(path, {"new"}, [] { throw std::runtime_error("stop"); }), std::runtime_error);
  EXPECT_EQ(contents(path), "old");
  auto to_folder = [&] { fs::remove(path), fs::create_directory(path), std::ofstream(path + "/inside") << "i"; };
  EXPECT_EQ(io_error([&] { tf::write_atomically(path, {"new"}, to_folder); }), EISDIR);
  EXPECT_EQ(names(), (std::set<std::string>{"sub", "t.nrv"}));
  EXPECT_EQ(contents(path + "/inside"), "i");
}

}  // namespace
