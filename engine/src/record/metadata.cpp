// metadata.cpp - the seeded string hash of attribute maps, and the JSON
// writer of a record.
//
// Writer
// ------
// A record is written in one pass into a string that reserves 128 bytes up
// front and grows by doubling:
//
//     {"value":<s>,"attributes":{<k1>:<v1>,<k2>:<v2>,...}}
//
// with no blank anywhere and attributes in the map's iteration order.  Each
// JSON string is escaped byte by byte through kEscape, a 256-entry table
// giving either 0 (copy the byte) or the letter that follows the backslash;
// the letter 'u' stands for the six-byte form \u00XX (lower-case hex).  Bytes
// that need no escape are gathered into runs and appended as one block, so
// an ordinary ASCII or UTF-8 text costs one table probe per byte and one
// append per string.  Multi-byte UTF-8, "/" and 0x7F are copied unchanged.
//
// Hash
// ----
// SeededStringHash is a multiply-fold hash: 64-bit words of the text are
// multiplied as 128-bit products whose halves are xored together, with the
// per-map seed folded into every step.  Short keys (the usual attribute
// names) take one or two overlapping loads and two multiplications.  A fresh
// seed for each default-constructed hash comes from a per-thread splitmix64
// sequence whose start is drawn once per thread from std::random_device, so
// creating a map costs a few arithmetic instructions, not a system call.
#include <array>
#include <chrono>
#include <cstring>
#include <random>

#include "netrove/metadata.hpp"
#include "record/json_string.hpp"
#include "netrove/record.hpp"

namespace netrove {
namespace {

// --- hash -----------------------------------------------------------------

__extension__ typedef unsigned __int128 Wide;

constexpr std::uint64_t kMul0 = 0xa0761d6478bd642full;
constexpr std::uint64_t kMul1 = 0xe7037ed1a0b428dbull;

inline std::uint64_t fold_mul(std::uint64_t a, std::uint64_t b) noexcept {
  const Wide r = static_cast<Wide>(a) * b;
  return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

inline std::uint64_t load64(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline std::uint64_t load32(const unsigned char* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

std::uint64_t splitmix64(std::uint64_t& state) noexcept {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

/// Start of a thread's seed sequence.  Should the system random source be
/// unavailable, the clock and the thread's stack address still give every
/// thread its own start: creating a map must never fail.
std::uint64_t thread_seed_start(const void* where) noexcept {
  std::uint64_t start = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                        reinterpret_cast<std::uintptr_t>(where);
  try {
    std::random_device rd;
    start ^= (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
  } catch (...) {
  }
  return start;
}

std::uint64_t fresh_seed() {
  int marker;
  thread_local std::uint64_t state = thread_seed_start(&marker);
  return splitmix64(state);
}

// --- writer ---------------------------------------------------------------

/// kEscape[b]: 0 when byte b is copied unchanged, otherwise the character
/// written after the backslash ('u' meaning the form \u00XX).
constexpr std::array<char, 256> kEscape = [] {
  std::array<char, 256> t{};
  for (int b = 0; b < 0x20; ++b) t[b] = 'u';
  t['"'] = '"';
  t['\\'] = '\\';
  t[0x08] = 'b';
  t[0x09] = 't';
  t[0x0A] = 'n';
  t[0x0C] = 'f';
  t[0x0D] = 'r';
  return t;
}();
static_assert(kEscape[0x1B] == 'u' && kEscape['/'] == 0 && kEscape[0x7F] == 0 && kEscape[0xC3] == 0);

constexpr char kHexLower[] = "0123456789abcdef";

}  // namespace

void append_json_string(std::string& out, std::string_view s) {
  out.push_back('"');
  const char* p = s.data();
  const char* const end = p + s.size();
  const char* run = p;  // first byte of the pending unescaped run
  for (; p != end; ++p) {
    const unsigned char byte = static_cast<unsigned char>(*p);
    const char esc = kEscape[byte];
    if (esc == 0) continue;
    out.append(run, static_cast<std::size_t>(p - run));
    if (esc == 'u') {
      const char seq[6] = {'\\', 'u', '0', '0', kHexLower[byte >> 4], kHexLower[byte & 15]};
      out.append(seq, 6);
    } else {
      const char seq[2] = {'\\', esc};
      out.append(seq, 2);
    }
    run = p + 1;
  }
  out.append(run, static_cast<std::size_t>(end - run));
  out.push_back('"');
}

SeededStringHash::SeededStringHash() : seed(fresh_seed()) {}

std::size_t SeededStringHash::operator()(std::string_view s) const noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::uint64_t state = seed ^ fold_mul(seed ^ kMul0, kMul1);
  std::uint64_t a = 0, b = 0;
  if (n <= 16) {
    if (n >= 4) {
      // Two pairs of possibly overlapping 4-byte loads cover all n bytes.
      const std::size_t step = (n >> 3) << 2;
      a = (load32(p) << 32) | load32(p + step);
      b = (load32(p + n - 4) << 32) | load32(p + n - 4 - step);
    } else if (n > 0) {
      a = (static_cast<std::uint64_t>(p[0]) << 16) | (static_cast<std::uint64_t>(p[n >> 1]) << 8) | p[n - 1];
    }
  } else {
    std::size_t left = n;
    while (left > 16) {
      state = fold_mul(load64(p) ^ kMul1, load64(p + 8) ^ state);
      p += 16;
      left -= 16;
    }
    // The last 16 bytes, overlapping the previous block when needed.
    a = load64(p + left - 16);
    b = load64(p + left - 8);
  }
  return static_cast<std::size_t>(fold_mul(kMul1 ^ n, fold_mul(a ^ kMul1, b ^ state)));
}

namespace {

/// The writer over any record shape: a value text and pairs of texts.
template <class Pairs>
std::string write_json(std::string_view value, const Pairs& pairs) {
  std::string out;
  out.reserve(128);
  out.push_back('{');
  append_record_members(out, value, pairs);
  out.push_back('}');
  return out;
}

}  // namespace

std::string to_json(const Metadata& record) { return write_json(record.value, record.attributes); }

std::string to_json(RecordView record) { return write_json(record.value(), record); }

}  // namespace netrove
