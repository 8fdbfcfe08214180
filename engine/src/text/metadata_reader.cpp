// metadata_reader.cpp - from_json: the JSON text of a record back into a
// Metadata, decoded straight into the record (no document tree).
//
// Accepted shapes
// ---------------
//     {"value":"allow","attributes":{"asn":"AS1234"}}     object form
//     ["allow",{"asn":"AS1234"}]                           positional form
//
// The reader is a recursive-descent scanner over [p_, end_).  The two
// members that matter are decoded directly into the result; every other
// member is checked for JSON syntax and dropped.  The rules, whose numbers
// reappear in the code:
//
//   1. Whitespace between tokens is space, tab, LF or CR; nothing else.
//   2. The top-level value is an object or an array; anything else fails.
//   3. Object form: members in any order.  "value" holds a string,
//      "attributes" an object whose member values are all strings.  Names
//      are compared after unescaping, exactly.  Each of the two appears
//      exactly once (missing or repeated fails).  Any other member is
//      skipped whatever JSON value it holds.
//   4. Positional form: exactly two elements, value string then attributes
//      object.  Fewer, more, or a trailing comma fails.
//   5. A repeated name inside attributes keeps its last value.
//   6. Only whitespace may follow the top-level value.
//   7. Arrays and objects nest at most kMaxDepth (127) levels, the top-level
//      one counting as level 1; a deeper one fails.
//   8. Strings: escapes \" \\ \/ \b \f \n \r \t and \uXXXX (either case);
//      a high surrogate escape must be followed by a low one and the pair
//      is one code point; lone surrogates, other escapes, raw bytes below
//      0x20 and unterminated strings fail.  Raw bytes must form valid UTF-8
//      (a JSON text is UTF-8; this also keeps every decoded record valid
//      UTF-8, as the Python layer needs).
//   9. Numbers, true, false and null are accepted only inside skipped
//      members.
//
// Nothing partial escapes: the record is built in a local and returned only
// when the whole text has been accepted.
#include <array>
#include <cstdint>
#include <cstring>

#include "netrove/metadata.hpp"

namespace netrove {
namespace {

constexpr int kMaxDepth = 127;

/// Classes of a byte inside a JSON string (rule 8).
enum ByteClass : std::uint8_t {
  kPlain = 0,     // copied as is
  kQuote,         // closing quote
  kBackslash,     // escape follows
  kLead2,         // first byte of a 2-byte UTF-8 sequence (C2..DF)
  kLead3,         // first byte of a 3-byte sequence (E0..EF)
  kLead4,         // first byte of a 4-byte sequence (F0..F4)
  kInvalid,       // control byte, stray continuation, C0, C1, F5..FF
};

constexpr std::array<std::uint8_t, 256> kClass = [] {
  std::array<std::uint8_t, 256> t{};
  for (int b = 0; b < 0x20; ++b) t[b] = kInvalid;
  t['"'] = kQuote;
  t['\\'] = kBackslash;
  for (int b = 0x80; b < 0xC2; ++b) t[b] = kInvalid;
  for (int b = 0xC2; b < 0xE0; ++b) t[b] = kLead2;
  for (int b = 0xE0; b < 0xF0; ++b) t[b] = kLead3;
  for (int b = 0xF0; b < 0xF5; ++b) t[b] = kLead4;
  for (int b = 0xF5; b < 0x100; ++b) t[b] = kInvalid;
  return t;
}();

/// Hex digit value, or -1.
constexpr std::array<std::int8_t, 256> kHex = [] {
  std::array<std::int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int c = 0; c < 10; ++c) t['0' + c] = static_cast<std::int8_t>(c);
  for (int c = 0; c < 6; ++c) t['a' + c] = t['A' + c] = static_cast<std::int8_t>(10 + c);
  return t;
}();

void append_utf8(std::string& out, std::uint32_t cp) {
  char buf[4];
  std::size_t n;
  if (cp < 0x80) {
    buf[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    buf[0] = static_cast<char>(0xC0 | (cp >> 6));
    buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    buf[0] = static_cast<char>(0xE0 | (cp >> 12));
    buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    buf[0] = static_cast<char>(0xF0 | (cp >> 18));
    buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  out.append(buf, n);
}

class Reader {
 public:
  explicit Reader(std::string_view text) noexcept : p_(text.data()), end_(text.data() + text.size()) {}

  std::optional<Metadata> read_record() {
    Metadata record;
    skip_ws();
    if (p_ == end_) return std::nullopt;
    bool ok;
    if (*p_ == '{') {
      ok = read_object_form(record);
    } else if (*p_ == '[') {
      ok = read_positional_form(record);
    } else {
      return std::nullopt;  // rule 2
    }
    if (!ok) return std::nullopt;
    skip_ws();
    if (p_ != end_) return std::nullopt;  // rule 6
    return record;
  }

 private:
  const char* p_;
  const char* const end_;
  std::string scratch_;  // unescaped member names that held an escape

  // Rule 1.
  void skip_ws() noexcept {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  /// Consumes `c` after optional whitespace.
  bool expect(char c) noexcept {
    skip_ws();
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  /// Object form (rule 3).  p_ is at the opening brace (level 1).
  bool read_object_form(Metadata& record) {
    ++p_;
    bool have_value = false, have_attributes = false;
    skip_ws();
    if (p_ != end_ && *p_ == '}') return false;  // both members missing
    for (;;) {
      skip_ws();
      std::string_view name;
      if (!read_name(name) || !expect(':')) return false;
      skip_ws();
      if (name == "value") {
        if (have_value) return false;  // repeated
        have_value = true;
        if (!read_string(&record.value)) return false;
      } else if (name == "attributes") {
        if (have_attributes) return false;  // repeated
        have_attributes = true;
        if (!read_attributes(record.attributes)) return false;
      } else if (!skip_value(1)) {
        return false;
      }
      skip_ws();
      if (p_ == end_) return false;
      if (*p_ == '}') break;
      if (*p_ != ',') return false;
      ++p_;
    }
    ++p_;
    return have_value && have_attributes;
  }

  /// Positional form (rule 4).  p_ is at the opening bracket.
  bool read_positional_form(Metadata& record) {
    ++p_;
    skip_ws();
    if (!read_string(&record.value) || !expect(',')) return false;
    skip_ws();
    return read_attributes(record.attributes) && expect(']');
  }

  /// The attributes object (level 2): every member value a string (rule 3);
  /// a repeated name keeps its last value (rule 5).
  bool read_attributes(AttributeMap& out) {
    if (p_ == end_ || *p_ != '{') return false;
    ++p_;
    skip_ws();
    if (p_ != end_ && *p_ == '}') {
      ++p_;
      return true;
    }
    for (;;) {
      skip_ws();
      std::string key;
      if (!read_string(&key) || !expect(':')) return false;
      skip_ws();
      std::string& slot = out.try_emplace(std::move(key)).first->second;
      slot.clear();
      if (!read_string(&slot)) return false;
      skip_ws();
      if (p_ == end_) return false;
      if (*p_ == '}') break;
      if (*p_ != ',') return false;
      ++p_;
    }
    ++p_;
    return true;
  }

  /// A member name, unescaped.  The view points into the text when the name
  /// holds no escape, else into scratch_.
  bool read_name(std::string_view& name) {
    if (p_ == end_) return false;
    const char* start = p_ + 1;
    if (!read_string(nullptr)) return false;
    name = std::string_view(start, static_cast<std::size_t>(p_ - 1 - start));
    if (name.find('\\') != std::string_view::npos) {
      scratch_.clear();
      p_ = start - 1;
      if (!read_string(&scratch_)) return false;  // cannot fail: same text
      name = scratch_;
    }
    return true;
  }

  /// True when the 8 bytes at p are all plain ASCII: no byte below 0x20,
  /// no quote, no backslash, no high bit.  Each subtraction sets a byte's
  /// top bit exactly when that byte (the lowest offending one, at least) is
  /// out of range; borrows only ever start at an offending byte.
  static bool plain8(const char* p) noexcept {
    constexpr std::uint64_t k01 = 0x0101010101010101ull, k80 = 0x8080808080808080ull;
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    const std::uint64_t bad = (x - k01 * 0x20) | ((x ^ (k01 * '"')) - k01) | ((x ^ (k01 * '\\')) - k01) | x;
    return (bad & k80) == 0;
  }

  /// A JSON string at p_ (rule 8), appended to *out unless out is null.
  bool read_string(std::string* out) {
    const char* p = p_;
    const char* const end = end_;
    if (p == end || *p != '"') return false;
    const char* run = ++p;  // first byte of the pending unescaped run
    for (;;) {
      while (end - p >= 8 && plain8(p)) p += 8;
      while (p != end && kClass[static_cast<unsigned char>(*p)] == kPlain) ++p;
      if (p == end) return false;  // unterminated
      const auto b0 = static_cast<unsigned char>(*p);
      switch (kClass[b0]) {
        case kQuote:
          if (out) out->append(run, static_cast<std::size_t>(p - run));
          p_ = p + 1;
          return true;
        case kBackslash:
          if (out) out->append(run, static_cast<std::size_t>(p - run));
          p_ = p;
          if (!read_escape(out)) return false;
          p = run = p_;
          continue;
        case kLead2:
          p = skip_utf8(p, end, 1, 0x80, 0xBF);
          break;
        case kLead3:
          // No overlong form (E0 80..9F), no UTF-16 surrogate (ED A0..BF).
          p = skip_utf8(p, end, 2, b0 == 0xE0 ? 0xA0 : 0x80, b0 == 0xED ? 0x9F : 0xBF);
          break;
        case kLead4:
          // No overlong form (F0 80..8F), nothing above U+10FFFF (F4 90..).
          p = skip_utf8(p, end, 3, b0 == 0xF0 ? 0x90 : 0x80, b0 == 0xF4 ? 0x8F : 0xBF);
          break;
        default:
          return false;  // raw control byte or invalid UTF-8
      }
      if (p == nullptr) return false;
    }
  }

  /// Steps over the lead byte at p and `tail` continuation bytes, the first
  /// of which must lie in [lo, hi].  Returns the next byte, or null.
  static const char* skip_utf8(const char* p, const char* end, int tail, unsigned lo, unsigned hi) noexcept {
    if (end - p <= tail) return nullptr;
    const auto* q = reinterpret_cast<const unsigned char*>(p);
    if (q[1] < lo || q[1] > hi) return nullptr;
    for (int i = 2; i <= tail; ++i)
      if ((q[i] & 0xC0) != 0x80) return nullptr;
    return p + tail + 1;
  }

  /// Four hex digits at p_.
  bool read_hex4(std::uint32_t& v) noexcept {
    if (end_ - p_ < 4) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) {
      const int d = kHex[static_cast<unsigned char>(p_[i])];
      if (d < 0) return false;
      v = (v << 4) | static_cast<std::uint32_t>(d);
    }
    p_ += 4;
    return true;
  }

  /// One escape; p_ is at the backslash (rule 8).
  bool read_escape(std::string* out) {
    ++p_;
    if (p_ == end_) return false;
    char c;
    switch (*p_++) {
      case '"': c = '"'; break;
      case '\\': c = '\\'; break;
      case '/': c = '/'; break;
      case 'b': c = '\b'; break;
      case 'f': c = '\f'; break;
      case 'n': c = '\n'; break;
      case 'r': c = '\r'; break;
      case 't': c = '\t'; break;
      case 'u': {
        std::uint32_t cp;
        if (!read_hex4(cp)) return false;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return false;  // lone low surrogate
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          std::uint32_t low;
          if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
          p_ += 2;
          if (!read_hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        if (out) append_utf8(*out, cp);
        return true;
      }
      default:
        return false;
    }
    if (out) out->push_back(c);
    return true;
  }

  /// Any JSON value inside a skipped member (rules 3, 7, 9).  `depth` is
  /// the number of arrays and objects around the value.
  bool skip_value(int depth) {
    if (p_ == end_) return false;
    switch (*p_) {
      case '"':
        return read_string(nullptr);
      case '{':
      case '[':
        return skip_container(depth + 1);
      case 't':
        return skip_literal("true", 4);
      case 'f':
        return skip_literal("false", 5);
      case 'n':
        return skip_literal("null", 4);
      default:
        return skip_number();
    }
  }

  /// An object or array opening at p_, which becomes level `level`.
  bool skip_container(int level) {
    if (level > kMaxDepth) return false;  // rule 7
    const char close = *p_ == '{' ? '}' : ']';
    const bool object = close == '}';
    ++p_;
    skip_ws();
    if (p_ != end_ && *p_ == close) {
      ++p_;
      return true;
    }
    for (;;) {
      skip_ws();
      if (object && (!read_string(nullptr) || !expect(':'))) return false;
      skip_ws();
      if (!skip_value(level)) return false;
      skip_ws();
      if (p_ == end_) return false;
      if (*p_ == close) break;
      if (*p_ != ',') return false;
      ++p_;
    }
    ++p_;
    return true;
  }

  bool skip_literal(const char* word, std::size_t n) noexcept {
    if (static_cast<std::size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0) return false;
    p_ += n;
    return true;
  }

  bool skip_digits() noexcept {
    const char* start = p_;
    while (p_ != end_ && static_cast<unsigned>(*p_ - '0') <= 9) ++p_;
    return p_ != start;
  }

  /// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
  bool skip_number() noexcept {
    if (*p_ == '-') ++p_;
    if (p_ == end_) return false;
    if (*p_ == '0') {
      ++p_;
    } else if (!skip_digits()) {
      return false;
    }
    if (p_ != end_ && *p_ == '.') {
      ++p_;
      if (!skip_digits()) return false;
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (!skip_digits()) return false;
    }
    return true;
  }
};

}  // namespace

std::optional<Metadata> from_json(std::string_view text) {
  Reader reader(text);
  return reader.read_record();
}

}  // namespace netrove
