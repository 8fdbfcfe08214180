// libFuzzer target for the record JSON reader and writer.
//
// Even first byte: the rest is JSON text.  Whatever from_json accepts must
// be written by to_json as text that reads back to an equal record.
// Odd first byte: the rest, split at 0xFF bytes, is a record (value, then
// key/value pairs).  Its JSON must read back equal when all texts are UTF-8,
// and must be rejected otherwise.  Either way the record's stored form
// (interned, any bytes) must give back an equal record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "netrove/metadata.hpp"
#include "netrove/record.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
  __builtin_printf("json_fuzz: %s\n", what);
  std::abort();
}

bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n;
    std::uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 1, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3F);
    }
    static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

void check_stored_form(const netrove::Metadata& m) {
  const netrove::RecordRef r = netrove::RecordRef::intern(m);
  if (!netrove::same_contents(r.view(), m) || !(r.view().to_metadata() == m)) fail("stored form changed the record");
}

void check_no_raw_controls(const std::string& json) {
  for (unsigned char c : json)
    if (c < 0x20) fail("raw control byte in written JSON");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1) == 0) {
    const auto record = netrove::from_json(rest);
    if (!record) return 0;
    if (!valid_utf8(record->value)) fail("decoded value is not UTF-8");
    const std::string json = netrove::to_json(*record);
    check_no_raw_controls(json);
    const auto again = netrove::from_json(json);
    if (!again) fail("written JSON rejected");
    if (!(*again == *record)) fail("round trip changed the record");
    check_stored_form(*record);
    return 0;
  }
  netrove::Metadata record;
  std::size_t start = 0;
  std::string key;
  int field = 0;
  for (std::size_t i = 0; i <= rest.size(); ++i) {
    if (i < rest.size() && rest[i] != '\xff') continue;
    const std::string_view piece = rest.substr(start, i - start);
    if (field == 0) {
      record.value = piece;
    } else if (field % 2 == 1) {
      key = piece;
    } else {
      record.attributes[key] = piece;
    }
    ++field;
    start = i + 1;
  }
  if (field > 1 && field % 2 == 0) record.attributes[key] = "";
  bool utf8 = valid_utf8(record.value);
  for (const auto& [k, v] : record.attributes) utf8 = utf8 && valid_utf8(k) && valid_utf8(v);
  const std::string json = netrove::to_json(record);
  check_no_raw_controls(json);
  const auto back = netrove::from_json(json);
  if (utf8 && !(back && *back == record)) fail("valid record did not round trip");
  if (!utf8 && back) fail("JSON with invalid UTF-8 accepted");
  check_stored_form(record);
  return 0;
}
