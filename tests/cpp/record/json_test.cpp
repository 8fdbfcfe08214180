// The record JSON format: the writer against a reference escaper, the
// reader against a reference encoder that spells the same record every
// legal way, a table of malformed texts, random bytes that must be refused
// or read back stably, and the stored form built from the same records.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "netrove/metadata.hpp"
#include "netrove/record.hpp"
#include "support/oracle.hpp"
#include "sync/rcu.hpp"

using netrove::from_json;
using netrove::Metadata;
using netrove::to_json;
using namespace std::string_literals;

namespace {

// Pieces that stress the escaper and the reader: every short escape,
// controls, NUL, DEL, the format's own punctuation, UTF-8 of every length
// up to U+10FFFF.
std::string random_text(std::mt19937_64& rng) {
  static const std::vector<std::string> pieces = {
      "\"", "\\", "/", "\b", "\f", "\n", "\r", "\t", "\x01", "\x1f", "\x7f", "\0"s, "a", " ", "value", "{", "]", ":",
      ",", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf", "\xef\xbf\xbf", "\\u0041", "\\ud800"};
  std::string s;
  for (std::size_t n = rng() % 4 == 0 ? 0 : rng() % 24; n-- > 0;)
    s += rng() % 4 == 0 ? std::string(1, static_cast<char>(rng() % 0x80)) : pieces[rng() % pieces.size()];
  return s;
}

/// Every tenth record has up to 300 attributes.
Metadata random_record(std::mt19937_64& rng, int iter) {
  Metadata m;
  m.value = random_text(rng);
  for (std::size_t n = iter % 10 == 0 ? rng() % 300 : rng() % 6; n-- > 0;) m.attributes[random_text(rng)] = random_text(rng);
  return m;
}

/// The writer's contract: short escapes for " \ \b \f \n \r \t, \u00XX
/// for other controls, every other byte as it is.
std::string reference_string(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    const char* const shorts = "\"\\\b\f\n\r\t";
    const char* const letters = "\"\\bfnrt";
    if (const char* at = c ? std::strchr(shorts, c) : nullptr) out += '\\', out += letters[at - shorts];
    else if (c < 0x20) out += "\\u00", out += "0123456789abcdef"[c >> 4], out += "0123456789abcdef"[c & 15];
    else out += static_cast<char>(c);
  }
  return out + '"';
}

/// The same text spelled at random: raw bytes, short escapes, \uXXXX in
/// either case, surrogate pairs for code points above U+FFFF.
std::string spelled_string(const std::string& s, std::mt19937_64& rng) {
  std::string out = "\"";
  auto hex4 = [&](unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, rng() % 2 ? "\\u%04x" : "\\u%04X", v);
    out += buf;
  };
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    unsigned cp = n == 1 ? c : c & (0x3F >> (n - 1));
    for (std::size_t k = 1; k < n; ++k) cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    const bool must = c < 0x20 || c == '"' || c == '\\';
    if (!must && rng() % 2) out.append(s, i, n);
    else if (cp >= 0x10000) hex4(0xD800 + ((cp - 0x10000) >> 10)), hex4(0xDC00 + ((cp - 0x10000) & 0x3FF));
    else if (must && rng() % 2) out.append(reference_string(std::string(1, char(c))), 1, std::string::npos).pop_back();
    else if (c == '/' && rng() % 2) out += "\\/";
    else hex4(cp);
    i += n;
  }
  return out + '"';
}

std::string spelled_record(const Metadata& m, std::mt19937_64& rng) {
  // Appends its parts, with random whitespace after each.
  auto put = [&](std::string& s, std::initializer_list<std::string_view> parts) {
    for (std::string_view p : parts) s.append(p).append(" \t\r\n", rng() % 5);
  };
  std::string attrs, value, out;
  put(attrs, {"", "{"});
  bool first = true;
  for (const auto& [k, v] : m.attributes)
    put(attrs, {std::exchange(first, false) ? "" : ",", spelled_string(k, rng), ":", spelled_string(v, rng)});
  put(attrs, {"}"});
  put(value, {"", spelled_string(m.value, rng)});
  if (rng() % 3 == 0) {
    put(out, {"", "[", value, ",", attrs, "]"});
    return out;
  }
  std::vector<std::string> members = {"\"value\":" + value, "\"attributes\":" + attrs};
  if (rng() % 2) members.push_back(R"("other":[1,-2.5e+3,{"value":null},true,false,"s\n"])");
  std::shuffle(members.begin(), members.end(), rng);
  put(out, {"", "{"});
  for (std::size_t i = 0; i < members.size(); ++i) put(out, {i ? "," : "", members[i]});
  put(out, {"}"});
  return out;
}

}  // namespace

TEST(Json, RandomRecordsWriteAsTheReferenceAndReadBackInEverySpelling) {
  std::mt19937_64 rng(20240611);
  for (int iter = 0; iter < 5000; ++iter) {
    const Metadata m = random_record(rng, iter);
    std::string want = "{\"value\":" + reference_string(m.value) + ",\"attributes\":{";
    for (const auto& [k, v] : m.attributes) want += reference_string(k) + ":" + reference_string(v) + ",";
    if (!m.attributes.empty()) want.pop_back();
    const std::string json = to_json(m);
    ASSERT_EQ(json, want + "}}");
    ASSERT_EQ(from_json(json), m) << json;
    const std::string spelled = spelled_record(m, rng);
    ASSERT_EQ(from_json(spelled), m) << spelled;
  }
}

// Random bytes and random edits of valid texts: the reader never crashes,
// and whatever it accepts writes and reads back to itself.
TEST(Json, RandomBytesAreRefusedOrReadBackStably) {
  std::mt19937_64 rng(8);
  const std::string bytes = "{}[]\",:\\ u0123456789abcdefDdABCnrtx.-+eE\xc3\xa9\xed\xa0\x80\xff\x00"s;
  std::size_t accepted = 0;
  for (int iter = 0; iter < 10000; ++iter) {
    std::string text = iter % 2 ? spelled_record(random_record(rng, iter % 10 + 1), rng) : "";
    for (unsigned e = iter % 2 ? rng() % 3 : 1 + rng() % 40; e-- > 0;) {
      const std::size_t pos = rng() % (text.size() + 1);
      if (rng() % 3 == 0 && pos < text.size()) text.erase(pos, 1);
      else text.insert(pos, 1, bytes[rng() % bytes.size()]);
    }
    if (const auto m = from_json(text)) {
      ++accepted;
      ASSERT_EQ(from_json(to_json(*m)), *m) << text;
    }
  }
  EXPECT_GT(accepted, 1000u);
}

TEST(Json, MalformedTexts) {
  const std::string x = R"({"value":"x","attributes":{}})";
  for (const std::string& t : {
           ""s, "   "s, R"({"value":"x"})"s, R"({"attributes":{}})"s, "{}"s, "[]"s, R"(["x"])"s, R"(["x",{},1])"s,
           R"({"value":"x","value":"y","attributes":{}})"s, R"({"value":"x","\u0076alue":"y","attributes":{}})"s,
           R"({"value":"x","attributes":{},"attributes":{}})"s, R"({"VALUE":"x","attributes":{}})"s,
           R"({"value":1,"attributes":{}})"s, R"({"value":"x","attributes":[]})"s, R"({"value":"x","attributes":{"a":1}})"s,
           R"(["x",{"a":null}])"s, R"("x")"s, "null"s, x + "x", x + x, x + "\0"s, "\f" + x, R"({"value":"x","attributes":{},})"s,
           R"({"value":"x" "attributes":{}})"s, R"({value:"x","attributes":{}})"s, R"({'value':'x','attributes':{}})"s,
           R"({"value":"x","attributes":{},"n":01})"s, R"({"value":"x","attributes":{},"n":1.})"s,
           R"({"value":"x","attributes":{},"n":.5})"s, R"({"value":"x","attributes":{},"n":NaN})"s,
           R"({"value":"x","attributes":{},"n":tru})"s, R"({"value":"x","attributes":{},"n":[1,]})"s,
           R"({"value":"x","attributes":{},"n":{1:1}})"s, R"({"value":"x","attributes":{})"s,
           R"(["\x",{}])"s, R"(["\U0041",{}])"s, R"(["\u12g4",{}])"s, R"(["\ud800",{}])"s, R"(["\udc00",{}])"s,
           R"(["\ud800\u0041",{}])"s, R"(["\ud800\ud800",{}])"s, R"(["abc,{}])"s, "[\"a\nb\",{}]"s, "[\"\0\",{}]"s,
           "[\"\x80\",{}]"s, "[\"\xc0\xaf\",{}]"s, "[\"\xc3(\",{}]"s, "[\"\xe0\x80\xaf\",{}]"s, "[\"\xed\xa0\x80\",{}]"s,
           "[\"\xf0\x80\x80\xaf\",{}]"s, "[\"\xf4\x90\x80\x80\",{}]"s, "[\"\xe2\x82\",{}]"s,
           R"({"value":"x","attributes":{},"skip":"\q"})"s, "{\"value\":\"x\",\"attributes\":{},\"skip\":\"\xff\"}"s})
    EXPECT_FALSE(from_json(t)) << t;
  // Nesting: the top-level object is level 1, so a skipped member may
  // open 126 more; far deeper texts fail without exhausting the stack.
  auto nested = [](std::size_t levels) {
    return R"({"value":"x","attributes":{},"deep":)" + std::string(levels, '[') + std::string(levels, ']') + "}";
  };
  EXPECT_TRUE(from_json(nested(126)));
  EXPECT_FALSE(from_json(nested(127)));
  EXPECT_FALSE(from_json(nested(100000)));
}

// Long strings are scanned several bytes at a time: every byte value at
// every offset must be classified as in a short string.
TEST(Json, EveryByteAtEveryOffsetOfALongString) {
  for (std::size_t pos = 0; pos < 24; ++pos)
    for (int b = 0; b < 256; ++b) {
      std::string s(24, 'a');
      s[pos] = static_cast<char>(b);
      const auto got = from_json("[\"" + s + "\",{}]");
      const bool plain = b >= 0x20 && b < 0x80 && b != '"' && b != '\\';
      ASSERT_EQ(got.has_value(), plain) << "byte " << b << " at " << pos;
      if (plain) {
        ASSERT_EQ(got->value, s);
      }
    }
}

// The stored form shows the same texts in the source map's order, copies
// back equal, and equal records share one block until the last release.
TEST(StoredRecord, RandomRecordsRoundTripAndEqualOnesShareABlock) {
  netrove::rcu::drain();
  const auto before = netrove::record_census();
  std::mt19937_64 rng(7);
  for (int iter = 0; iter < 2000; ++iter) {
    const Metadata m = random_record(rng, iter);
    const netrove::RecordRef r = netrove::RecordRef::intern(m);
    const netrove::RecordView v = r.view();
    ASSERT_EQ(v.value(), m.value);
    std::vector<std::pair<std::string, std::string>> lent, source(m.attributes.begin(), m.attributes.end());
    for (const auto& [k, x] : v) lent.emplace_back(k, x);
    ASSERT_EQ(lent, source);
    ASSERT_TRUE(netrove::same_contents(v, m));
    ASSERT_EQ(v.to_metadata(), m);
    Metadata other = m;  // another seed, so another map order
    other.attributes = netrove::AttributeMap(m.attributes.begin(), m.attributes.end());
    ASSERT_EQ(netrove::RecordRef::intern(other).get(), r.get());
    other.value += "!";
    ASSERT_NE(netrove::RecordRef::intern(other).get(), r.get());
  }
  netrove::rcu::drain();
  EXPECT_EQ(netrove::record_census().records, before.records);
  EXPECT_EQ(netrove::record_census().bytes, before.bytes);
}

// The embedder's objects hung on a block are handed to the release hook
// exactly once, when the last share is gone and the block is freed, also
// from a thread that never set them; blocks without objects call nothing.
namespace hosted {
std::atomic<int> released{0};
std::atomic<void*> last{nullptr};
void release(void* host) noexcept {
  last = host;
  ++released;
}
}  // namespace hosted

TEST(StoredRecord, HostObjectsAreReleasedOnceWithTheBlock) {
  netrove::set_record_host_release(&hosted::release);
  int token = 0;
  netrove::rcu::drain();
  hosted::released = 0;
  {
    netrove::RecordRef a = netrove::RecordRef::intern(nt::md("hosted", "k", "v"));
    a.get()->host.store(&token);
    netrove::RecordRef b = netrove::RecordRef::intern(nt::md("hosted", "k", "v"));  // the same block
    ASSERT_EQ(a.get(), b.get());
    netrove::RecordRef plain = netrove::RecordRef::intern(nt::md("plain"));
    a = netrove::RecordRef();
    netrove::rcu::drain();
    EXPECT_EQ(hosted::released.load(), 0);  // b still holds it
    std::thread([&] {
      b = netrove::RecordRef();
      plain = netrove::RecordRef();
      netrove::rcu::drain();
    }).join();
  }
  netrove::rcu::drain();
  EXPECT_EQ(hosted::released.load(), 1);
  EXPECT_EQ(hosted::last.load(), &token);
  netrove::set_record_host_release(nullptr);
}

TEST(SeededHash, FreshSeedPerMapAndEveryByteCounts) {
  EXPECT_NE(netrove::SeededStringHash().seed, netrove::SeededStringHash().seed);
  const netrove::SeededStringHash h1(1), h2(2);
  EXPECT_NE(h1("asn"), h2("asn"));
  std::mt19937_64 rng(7);
  for (std::size_t len = 0; len <= 80; ++len) {
    std::string s(len, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    for (std::size_t i = 0; i < len; ++i) {
      std::string t = s;
      t[i] ^= static_cast<char>(1 << rng() % 8);
      EXPECT_NE(h1(t), h1(s)) << "len " << len << " byte " << i;
    }
    EXPECT_NE(h1(s + '\0'), h1(s));
  }
}
