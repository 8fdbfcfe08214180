// Tests of the record hash, its JSON writer and reader, and its stored form.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "netrove/metadata.hpp"
#include "netrove/record.hpp"
#include "sync/rcu.hpp"

using netrove::AttributeMap;
using netrove::from_json;
using netrove::Metadata;
using netrove::SeededStringHash;
using netrove::to_json;
using namespace std::string_literals;

namespace {

Metadata record(std::string value, std::vector<std::pair<std::string, std::string>> attrs = {}) {
  Metadata m;
  m.value = std::move(value);
  for (auto& [k, v] : attrs) m.attributes[k] = v;
  return m;
}

/// Reference escaper written the slow, obvious way.
std::string naive_json_string(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string naive_to_json(const Metadata& m) {
  std::string out = "{\"value\":" + naive_json_string(m.value) + ",\"attributes\":{";
  bool first = true;
  for (const auto& [k, v] : m.attributes) {
    if (!first) out += ",";
    first = false;
    out += naive_json_string(k) + ":" + naive_json_string(v);
  }
  return out + "}}";
}

}  // namespace

// --- writer -----------------------------------------------------------------

TEST(JsonWriter, ExactBytesOfSmallRecords) {
  const std::string one = to_json(record("allow", {{"asn", "AS1234"}}));
  EXPECT_EQ(one, R"({"value":"allow","attributes":{"asn":"AS1234"}})");
  EXPECT_EQ(one.size(), 47u);
  EXPECT_EQ(to_json(Metadata{}), R"({"value":"","attributes":{}})");
}

TEST(JsonWriter, EscapesInOrder) {
  const Metadata m = record("a\"b\\c\td\x01" "e");
  EXPECT_EQ(to_json(m), R"({"value":"a\"b\\c\td\u0001e","attributes":{}})");
  EXPECT_EQ(from_json(to_json(m)), m);
}

TEST(JsonWriter, EveryControlByte) {
  for (int b = 0; b < 0x20; ++b) {
    const std::string s(1, static_cast<char>(b));
    const std::string json = to_json(record(s));
    const std::string body = json.substr(10, json.size() - 10 - 18);
    std::string want;
    switch (b) {
      case 0x08: want = "\\b"; break;
      case 0x09: want = "\\t"; break;
      case 0x0A: want = "\\n"; break;
      case 0x0C: want = "\\f"; break;
      case 0x0D: want = "\\r"; break;
      default: {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", b);
        want = buf;
      }
    }
    EXPECT_EQ(body, want) << "byte " << b;
  }
  EXPECT_EQ(to_json(record("\x1b")), R"({"value":"\u001b","attributes":{}})");
}

TEST(JsonWriter, CopiesSlashDelAndUtf8Raw) {
  EXPECT_EQ(to_json(record("caf\xc3\xa9/\x7f")), "{\"value\":\"caf\xc3\xa9/\x7f\",\"attributes\":{}}");
  EXPECT_EQ(to_json(record("\xf0\x9f\x98\x80")), "{\"value\":\"\xf0\x9f\x98\x80\",\"attributes\":{}}");
}

TEST(JsonWriter, AttributesFollowMapOrder) {
  Metadata m = record("v");
  for (int i = 0; i < 50; ++i) m.attributes[std::to_string(i) + "k"] = std::string(static_cast<std::size_t>(i), 'x');
  std::string want = R"({"value":"v","attributes":{)";
  bool first = true;
  for (const auto& [k, v] : m.attributes) {
    if (!first) want += ',';
    first = false;
    want += '"';
    want += k;
    want += "\":\"";
    want += v;
    want += '"';
  }
  EXPECT_EQ(to_json(m), want + "}}");
}

TEST(JsonWriter, LongTextsGrowTheBuffer) {
  const Metadata m = record(std::string(5000, '\x02'), {{std::string(300, '"'), std::string(300, 'z')}});
  EXPECT_EQ(to_json(m), naive_to_json(m));
  EXPECT_EQ(from_json(to_json(m)), m);
}

// --- reader: accepted texts --------------------------------------------------

TEST(JsonReader, BothFormsAndMemberOrder) {
  const Metadata x = record("x");
  EXPECT_EQ(from_json(R"({"attributes":{},"value":"x"})"), x);
  EXPECT_EQ(from_json(R"(["x",{}])"), x);
  EXPECT_EQ(from_json(R"({"value":"allow","attributes":{"asn":"AS1234"}})"), record("allow", {{"asn", "AS1234"}}));
  EXPECT_EQ(from_json(R"(["a",{"k":"v","k2":""}])"), record("a", {{"k", "v"}, {"k2", ""}}));
}

TEST(JsonReader, SkipsOtherMembersOfAnyValue) {
  EXPECT_EQ(from_json(R"({"value":"x","attributes":{},"note":7,"extra":[1,[2,{"a":null}]]})"), record("x"));
  EXPECT_EQ(from_json(R"({"a":true,"b":false,"c":null,"d":-0.5e+10,"e":"s\n","f":{},"g":[],)"
                      R"("value":"x","h":{"value":1,"attributes":2},"attributes":{},"Value":3,"i":1E-2,"j":0})"),
            record("x"));
}

TEST(JsonReader, RepeatedAttributeKeepsLastValue) {
  EXPECT_EQ(from_json(R"({"value":"x","attributes":{"k":"a","k":"b"}})"), record("x", {{"k", "b"}}));
  EXPECT_EQ(from_json(R"(["x",{"k":"a","j":"c","k":""}])"), record("x", {{"k", ""}, {"j", "c"}}));
}

TEST(JsonReader, WhitespaceBetweenEveryToken) {
  EXPECT_EQ(from_json(" \t\r\n{ \"value\" \n:\t\"x\" ,\r\"attributes\" : { \"k\" : \"v\" } , \"o\" : [ 1 , { } ] } \n\t"),
            record("x", {{"k", "v"}}));
  EXPECT_EQ(from_json(" [ \"x\" , { } ] "), record("x"));
  // Only space, tab, LF and CR count as whitespace.
  for (const std::string& w : {"\f"s, "\v"s, "\xc2\xa0"s, "\0"s}) {
    EXPECT_FALSE(from_json(w + R"(["x",{}])")) << "leading " << int(static_cast<unsigned char>(w[0]));
    EXPECT_FALSE(from_json(R"(["x",)" + w + "{}]"));
    EXPECT_FALSE(from_json(R"(["x",{}])" + w));
  }
}

TEST(JsonReader, StringEscapes) {
  EXPECT_EQ(from_json(R"(["\"\\\/\b\f\n\r\t",{}])"), record("\"\\/\b\f\n\r\t"));
  EXPECT_EQ(from_json(R"(["\u00e9\u00C9\u20ac",{}])"), record("\xc3\xa9\xc3\x89\xe2\x82\xac"));
  EXPECT_EQ(from_json(R"(["\u0000",{}])"), record("\0"s));
  EXPECT_EQ(from_json(R"(["\ud83d\ude00\uD83D\uDE00",{}])"), record("\xf0\x9f\x98\x80\xf0\x9f\x98\x80"));
  EXPECT_EQ(from_json(R"(["\udbff\udfff",{}])"), record("\xf4\x8f\xbf\xbf"));
  EXPECT_EQ(from_json(R"(["\u007f\u0080\u07ff\u0800\uffff",{}])"),
            record("\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf"));
  EXPECT_EQ(from_json(R"(["",{"\u006b":"\u0076"}])"), record("", {{"k", "v"}}));
  // Raw UTF-8 of every length passes unchanged.
  EXPECT_EQ(from_json("[\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f\",{}]"),
            record("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f"));
}

TEST(JsonReader, MemberNamesCompareAfterUnescaping) {
  EXPECT_EQ(from_json(R"({"\u0076alue":"x","attribute\u0073":{}})"), record("x"));
  EXPECT_FALSE(from_json(R"({"value":"x","\u0076alue":"y","attributes":{}})"));  // repeated
  // A name that only looks like "value" is skipped.
  EXPECT_FALSE(from_json(R"({"VALUE":"x","attributes":{}})"));
  EXPECT_FALSE(from_json(R"({"value ":"x","attributes":{}})"));
}

TEST(JsonReader, NestingLimit) {
  // The top-level object is level 1, so a skipped member may open 126 more.
  auto nested = [](int levels) {
    return R"({"value":"x","attributes":{},"deep":)" + std::string(static_cast<std::size_t>(levels), '[') +
           std::string(static_cast<std::size_t>(levels), ']') + "}";
  };
  EXPECT_EQ(from_json(nested(126)), record("x"));
  EXPECT_FALSE(from_json(nested(127)));
  EXPECT_FALSE(from_json(nested(100000)));  // no stack overflow either
  std::string objects = R"({"value":"x","attributes":{},"d":)";
  for (int i = 0; i < 126; ++i) objects += R"({"a":)";
  objects += "1" + std::string(126, '}') + "}";
  EXPECT_EQ(from_json(objects), record("x"));
}

// --- reader: rejected texts --------------------------------------------------

TEST(JsonReader, RejectsMissingOrRepeatedMembers) {
  for (const char* text : {R"({"value":"x"})", R"({"attributes":{}})", R"({})", R"([])",
                           R"({"value":"x","value":"y","attributes":{}})",
                           R"({"value":"x","attributes":{},"attributes":{}})"}) {
    EXPECT_FALSE(from_json(text)) << text;
  }
}

TEST(JsonReader, RejectsWrongValueTypes) {
  for (const char* text : {R"({"value":1,"attributes":{}})", R"({"value":null,"attributes":{}})",
                           R"({"value":["x"],"attributes":{}})", R"({"value":"x","attributes":[]})",
                           R"({"value":"x","attributes":null})", R"({"value":"x","attributes":{"asn":1234}})",
                           R"({"value":"x","attributes":{"a":"b","asn":true}})",
                           R"({"value":"x","attributes":{"a":{}}})", R"([1,{}])", R"(["x","y"])",
                           R"(["x",{"a":null}])", R"("x")", "1", "null", "true", R"({"value":"x","attributes":{1:"a"}})"}) {
    EXPECT_FALSE(from_json(text)) << text;
  }
}

TEST(JsonReader, RejectsPositionalFormOfOtherArity) {
  for (const char* text : {R"(["x"])", R"(["x",{},1])", R"(["x",{},])", R"(["x",])", R"([,"x",{}])",
                           R"([{},"x"])", R"(["x" {}])"}) {
    EXPECT_FALSE(from_json(text)) << text;
  }
}

TEST(JsonReader, RejectsTrailingText) {
  const std::string good = R"({"value":"x","attributes":{}})";
  EXPECT_TRUE(from_json(good + " \n"));
  for (const std::string& tail : {"x"s, good, ","s, "]"s, "}"s, "0"s, "\"\""s, "\0"s}) {
    EXPECT_FALSE(from_json(good + tail)) << tail;
    EXPECT_FALSE(from_json(R"(["x",{}])" + tail)) << tail;
  }
  EXPECT_FALSE(from_json(""));
  EXPECT_FALSE(from_json("   "));
}

TEST(JsonReader, RejectsBadSyntax) {
  for (const char* text : {
           R"({"value":"x","attributes":{},})",       // trailing comma
           R"({"value":"x","attributes":{"a":"b",}})",  // trailing comma in attributes
           R"({"value":"x" "attributes":{}})",        // missing comma
           R"({"value" "x","attributes":{}})",        // missing colon
           R"({value:"x","attributes":{}})",          // bare name
           R"({'value':'x','attributes':{}})",        // single quotes
           R"({"value":"x","attributes":{"a" "b"}})",  // missing colon in attributes
           R"({"value":"x","attributes":{}, "n":01})",  // leading zero
           R"({"value":"x","attributes":{}, "n":+1})",
           R"({"value":"x","attributes":{}, "n":1.})",
           R"({"value":"x","attributes":{}, "n":.5})",
           R"({"value":"x","attributes":{}, "n":1e})",
           R"({"value":"x","attributes":{}, "n":-})",
           R"({"value":"x","attributes":{}, "n":0x1})",
           R"({"value":"x","attributes":{}, "n":NaN})",
           R"({"value":"x","attributes":{}, "n":tru})",
           R"({"value":"x","attributes":{}, "n":nul})",
           R"({"value":"x","attributes":{}, "n":True})",
           R"({"value":"x","attributes":{}, "n":[1,]})",
           R"({"value":"x","attributes":{}, "n":[1 2]})",
           R"({"value":"x","attributes":{}, "n":{"a"}})",
           R"({"value":"x","attributes":{}, "n":{"a":1,}})",
           R"({"value":"x","attributes":{}, "n":{1:1}})",
           R"({"value":"x","attributes":{}, "n":[})",
           R"({"value":"x","attributes":{}, "n":)",
           R"({"value":"x","attributes":{})",
           R"(["x",{})",
           R"({"value":"x","attributes":{}, "n":"\q"})",  // bad escape in skipped string
       }) {
    EXPECT_FALSE(from_json(text)) << text;
  }
}

TEST(JsonReader, RejectsBadStrings) {
  for (const std::string& s : {
           R"("\x")"s, R"("\U0041")"s, R"("\'")"s, R"("\u12")"s, R"("\u12g4")"s, R"("\)"s,
           R"("\ud800")"s,          // lone high surrogate
           R"("\udc00")"s,          // lone low surrogate
           R"("\ud800\u0041")"s,    // high surrogate then not a low one
           R"("\ud800\ud800")"s,    // two high surrogates
           R"("\ud800x")"s, R"("\ud800\n")"s,
           R"("abc)"s,              // unterminated
           "\"a\nb\""s, "\"a\tb\""s, "\"\x1f\""s, "\"\0\""s,  // raw control bytes
           "\"\x80\""s,             // stray continuation byte
           "\"\xc0\xaf\""s,         // overlong "/"
           "\"\xc3\""s,             // truncated sequence
           "\"\xc3(\""s,            // bad continuation
           "\"\xe0\x80\xaf\""s,     // overlong 3-byte
           "\"\xed\xa0\x80\""s,     // UTF-8 encoded surrogate
           "\"\xf0\x80\x80\xaf\""s,  // overlong 4-byte
           "\"\xf4\x90\x80\x80\""s,  // above U+10FFFF
           "\"\xf5\x80\x80\x80\""s, "\"\xff\""s, "\"\xe2\x82\""s,
       }) {
    EXPECT_FALSE(from_json("[" + s + ",{}]")) << s;
    EXPECT_FALSE(from_json(R"({"value":"x","attributes":{"k":)" + s + "}}")) << s;
    EXPECT_FALSE(from_json(R"({"value":"x","attributes":{},"skip":)" + s + "}")) << s;
    EXPECT_FALSE(from_json("{" + s + R"(:1,"value":"x","attributes":{}})")) << s;
  }
}

TEST(JsonReader, EveryByteAtEveryPositionOfALongString) {
  // Long strings are scanned eight bytes at a time; every single byte value
  // at every offset must still be classified as in a short one.
  for (std::size_t pos = 0; pos < 24; ++pos) {
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
    // A valid two-byte sequence straddling an 8-byte boundary.
    std::string s(24, 'a');
    s.insert(pos, "\xc3\xa9");
    ASSERT_EQ(from_json("[\"" + s + "\",{}]"), record(s));
    s.insert(pos, "\\n");
    ASSERT_EQ(from_json("[\"" + s + "\",{}]")->value.find('\n'), pos);
  }
}

// --- round trip ----------------------------------------------------------------

namespace {

/// A random text drawn from pieces that stress the escaper and the reader.
std::string random_text(std::mt19937_64& rng) {
  static const std::vector<std::string> pieces = {
      "\"", "\\", "/", "\b", "\f", "\n", "\r", "\t", "\x01", "\x1f", "\x7f", std::string(1, '\0'),
      "a", "Z", "0", " ", "value", "attributes", "{", "}", "[", "]", ":", ",",
      "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf", "\xef\xbf\xbf", "\\u0041", "\\ud800"};
  std::string s;
  const auto n = std::uniform_int_distribution<int>(0, 3)(rng) == 0 ? 0 : rng() % 24;
  for (std::size_t i = 0; i < n; ++i) {
    if (rng() % 4 == 0) {
      s.push_back(static_cast<char>(rng() % 0x80));  // any ASCII byte, controls included
    } else {
      s += pieces[rng() % pieces.size()];
    }
  }
  return s;
}

/// A random record; every tenth has up to 400 attributes (a count beyond
/// what the stored form's header holds).
Metadata random_record(std::mt19937_64& rng, int iter) {
  Metadata m;
  m.value = random_text(rng);
  const std::size_t attrs = iter % 10 == 0 ? rng() % 400 : rng() % 6;
  for (std::size_t i = 0; i < attrs; ++i) m.attributes[random_text(rng)] = random_text(rng);
  return m;
}

}  // namespace

TEST(JsonRoundTrip, RandomRecords) {
  std::mt19937_64 rng(20240611);
  for (int iter = 0; iter < 20000; ++iter) {
    const Metadata m = random_record(rng, iter);
    const std::string json = to_json(m);
    ASSERT_EQ(json, naive_to_json(m));
    const auto back = from_json(json);
    ASSERT_TRUE(back) << json;
    ASSERT_EQ(*back, m) << json;
    // The positional form of the same content reads the same.
    const std::size_t attrs_at = json.find(",\"attributes\":");
    const std::string positional = "[" + json.substr(9, attrs_at - 9) + "," + json.substr(attrs_at + 14, json.size() - attrs_at - 15) + "]";
    ASSERT_EQ(from_json(positional), m) << positional;
  }
}

// The stored form of random records: the view shows the same texts with the
// pairs in the source map's order (so the JSON written from what is lent is
// the source's, byte for byte), and a copy out of it reads back equal.
TEST(StoredRecord, RandomRecordsRoundTrip) {
  std::mt19937_64 rng(7);
  for (int iter = 0; iter < 3000; ++iter) {
    const Metadata m = random_record(rng, iter);
    const netrove::RecordRef r = netrove::RecordRef::intern(m);
    const netrove::RecordView v = r.view();
    ASSERT_EQ(v.value(), m.value);
    std::vector<std::pair<std::string, std::string>> lent, source(m.attributes.begin(), m.attributes.end());
    for (const auto& [k, x] : v) lent.emplace_back(k, x);
    ASSERT_EQ(lent, source);
    ASSERT_TRUE(netrove::same_contents(v, m));
    const Metadata copy = v.to_metadata();
    ASSERT_EQ(copy, m);
    ASSERT_EQ(from_json(to_json(copy)), m);
  }
}

// Interning: equal contents (whatever the map's order) share one block,
// any difference makes its own, and the last release frees it.
TEST(StoredRecord, EqualRecordsShareOneBlock) {
  using netrove::RecordRef;
  netrove::rcu::drain();
  const auto before = netrove::record_census();
  {
    const Metadata a = record("v", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}});
    Metadata reversed;  // another seed, pairs entered the other way round
    reversed.value = "v";
    for (const char* k : {"d", "c", "b", "a"}) reversed.attributes[k] = a.attributes.at(k);
    const RecordRef ra = RecordRef::intern(a), rb = RecordRef::intern(reversed);
    EXPECT_EQ(ra.get(), rb.get());
    EXPECT_EQ(RecordRef::intern(Metadata{}).get(), RecordRef::intern(Metadata{}).get());
    const Metadata differ[] = {record("w", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}}),
                               record("v", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "5"}}),
                               record("v", {{"a", "1"}, {"b", "2"}, {"c", "3"}}),
                               record("v", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"e", "4"}})};
    std::set<const netrove::StoredRecord*> blocks{ra.get()};
    std::vector<RecordRef> held;
    for (const Metadata& m : differ) {
      held.push_back(RecordRef::intern(m));
      EXPECT_TRUE(blocks.insert(held.back().get()).second) << to_json(m);
    }
    netrove::rcu::drain();  // the empty record, released above
    EXPECT_EQ(netrove::record_census().records, before.records + 5);
  }
  netrove::rcu::drain();
  EXPECT_EQ(netrove::record_census().records, before.records);
  EXPECT_EQ(netrove::record_census().bytes, before.bytes);
}

// Prefixes storing equal records share one block; replacing the record of
// one of them changes neither the other's answer nor an answer handed out.
TEST(StoredRecord, ReplacingASharedRecordLeavesOtherAnswersAlone) {
  netrove::IpPrefix p1, p2;
  p1.address = {10};
  p1.length = 8;
  p2.address = {11};
  p2.length = 8;
  netrove::IpAddress a1, a2;
  a1.bytes = {10, 1};
  a2.bytes = {11, 1};
  const Metadata first = record("first", {{"k", "1"}}), second = record("second", {{"k", "2"}});
  for (const std::uint8_t type : {0, 1, 5}) {  // one trie, sharded trie, sharded adaptive tree
    SCOPED_TRACE(int(type));
    netrove::LocalEngine e = netrove::build_local(type, 1, true, 3);
    ASSERT_TRUE(e.insert(p1, first).ok() && e.insert(p2, first).ok());
    const auto earlier = e.lookup(a1);
    ASSERT_TRUE(e.insert(p1, second).ok());
    EXPECT_EQ(earlier, first);
    EXPECT_EQ(e.lookup(a1), second);
    EXPECT_EQ(e.lookup(a2), first);
    EXPECT_EQ(e.remove(p2), first);
    EXPECT_EQ(e.remove(p2), std::nullopt);
    EXPECT_EQ(e.lookup(a2), std::nullopt);
    EXPECT_EQ(e.lookup(a1), second);
  }
}

TEST(JsonRoundTrip, CopiesWithOtherSeedsWriteEqualRecords) {
  Metadata a = record("v", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}});
  Metadata b;
  b.value = "v";
  for (const auto& [k, v] : a.attributes) b.attributes.emplace(k, v);
  EXPECT_EQ(from_json(to_json(a)), b);
  EXPECT_EQ(from_json(to_json(b)), a);
}

// --- hash ------------------------------------------------------------------------

TEST(SeededHash, FreshSeedPerMapAndCopiesKeepIt) {
  std::set<std::uint64_t> seeds;
  for (int i = 0; i < 1000; ++i) seeds.insert(SeededStringHash().seed);
  EXPECT_EQ(seeds.size(), 1000u);

  AttributeMap a;
  a["k"] = "v";
  const AttributeMap copy = a;
  EXPECT_EQ(copy.hash_function().seed, a.hash_function().seed);
  AttributeMap other;
  EXPECT_NE(other.hash_function().seed, a.hash_function().seed);

  // Threads draw from their own generators and still never repeat.
  std::vector<std::uint64_t> from_threads(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back([&, t] { from_threads[t] = SeededStringHash().seed; });
  for (auto& th : threads) th.join();
  for (std::uint64_t s : from_threads) EXPECT_TRUE(seeds.insert(s).second);
}

TEST(SeededHash, DependsOnSeedAndOnEveryByte) {
  const SeededStringHash h1(1), h2(2), h1b(1);
  EXPECT_EQ(h1("asn"), h1b("asn"));
  EXPECT_NE(h1("asn"), h2("asn"));
  // Changing any byte of texts of every length up to 80 changes the hash.
  std::mt19937_64 rng(7);
  for (std::size_t len = 0; len <= 80; ++len) {
    std::string s(len, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    const std::size_t base = h1(s);
    for (std::size_t i = 0; i < len; ++i) {
      std::string t = s;
      t[i] ^= 0x01;
      EXPECT_NE(h1(t), base) << "len " << len << " byte " << i;
    }
    EXPECT_NE(h1(s + 'x'), base);
    if (len > 0) {
      EXPECT_NE(h1(s.substr(1)), base);
    }
  }
  EXPECT_NE(h1(""), h1(std::string(1, '\0')));
  EXPECT_NE(h1(std::string(1, '\0')), h1(std::string(2, '\0')));
}

TEST(SeededHash, SpreadsSimilarKeys) {
  const SeededStringHash h(12345);
  std::set<std::size_t> full, low_bits;
  for (int i = 0; i < 20000; ++i) {
    const std::size_t v = h("key" + std::to_string(i));
    full.insert(v);
    low_bits.insert(v & 0xFFFF);
  }
  EXPECT_EQ(full.size(), 20000u);
  // 20000 keys into 65536 buckets: about 17000 distinct buckets are expected.
  EXPECT_GT(low_bits.size(), 15500u);
}

TEST(SeededHash, TransparentLookup) {
  AttributeMap m;
  m["asn"] = "AS1";
  const std::string_view key = "asn";
  ASSERT_NE(m.find(key), m.end());
  EXPECT_EQ(m.find(key)->second, "AS1");
  EXPECT_EQ(m.find(std::string_view("as")), m.end());
}
