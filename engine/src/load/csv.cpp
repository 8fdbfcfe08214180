// The csv format: a header row, then RFC 4180 rows.
//
// Cases, numbered as in the code:
//   1. The delimiter: ',' or TAB, whichever the header has more of
//      outside quotes (',' on a tie).
//   2. A field in quotes may hold the delimiter, "" for a quote, and line
//      ends: a row whose quotes are still open at the end of its line goes
//      on with the next line.
//   3. The columns: network= or start=/end= by name, else the first column
//      whose name says network, cidr or prefix; value= (default the first
//      other column, none: ""); attributes= (default every column that is
//      not one of those).  A name that is not in the header is an error.
//   4. A row of another field count than the header's is an error; an
//      empty line is skipped.
//   5. A range end is an address, or a decimal integer: both ends IPv6
//      when either is past 2^32 - 1, else both IPv4.
#include <algorithm>
#include <cctype>
#include <vector>

#include "load/ranges.hpp"
#include "load/readers.hpp"
#include "netrove/text.hpp"

namespace netrove::load {

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

/// Splits a row into fields (2).  False when a quote is still open at the
/// end of `row` (the caller appends the next line and tries again).
bool split_row(std::string_view row, char delimiter, std::vector<std::string>& fields) {
  fields.clear();
  std::string field;
  bool quoted = false, was_quoted = false;
  for (std::size_t i = 0; i < row.size(); ++i) {
    const char c = row[i];
    if (quoted) {
      if (c != '"') field.push_back(c);
      else if (i + 1 < row.size() && row[i + 1] == '"') field.push_back('"'), ++i;
      else quoted = false;
    } else if (c == '"' && (field.empty() && !was_quoted)) {
      quoted = was_quoted = true;
    } else if (c == delimiter) {
      fields.push_back(std::move(field));
      field.clear();
      was_quoted = false;
    } else {
      field.push_back(c);
    }
  }
  if (quoted) return false;
  fields.push_back(std::move(field));
  return true;
}

/// Reads the next row, joining lines while a quote is open; false at the end.
bool next_row(Lines& lines, char delimiter, std::vector<std::string>& fields, std::string& joined,
              std::uint64_t& first_line) {
  std::string_view line;
  if (!lines.next(line)) return false;
  first_line = lines.number();
  if (split_row(line, delimiter, fields)) return true;
  joined.assign(line);
  while (lines.next(line)) {
    joined.append("\n").append(line);
    if (split_row(joined, delimiter, fields)) return true;
  }
  throw LoadError(LoadError::Kind::format, lines.name() + ":" + std::to_string(first_line) +
                                               ": a quoted field that is never closed");
}

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

/// Column selection (3).
struct Columns {
  std::size_t network = kNone, start = kNone, end = kNone, value = kNone;
  std::vector<std::size_t> attributes;
};

Columns columns_of(const std::vector<std::string>& header, const LoadOptions& o, const std::string& source) {
  auto find = [&](const std::string& name) {
    for (std::size_t i = 0; i < header.size(); ++i)
      if (trim(header[i]) == name) return i;
    std::string names;
    for (const auto& h : header) names += (names.empty() ? "" : ", ") + std::string(trim(h));
    throw LoadError(LoadError::Kind::option,
                    source + ": no column named " + quoted(name) + " in the header (" + names + ")");
  };
  Columns c;
  if (o.network) {
    c.network = find(*o.network);
  } else if (o.start || o.end) {
    if (!o.start || !o.end)
      throw LoadError(LoadError::Kind::option, source + ": a range needs both start= and end=");
    c.start = find(*o.start);
    c.end = find(*o.end);
  } else {
    for (std::size_t i = 0; i < header.size() && c.network == kNone; ++i) {
      const std::string h = lower(header[i]);
      if (h.find("network") != std::string::npos || h.find("cidr") != std::string::npos ||
          h.find("prefix") != std::string::npos)
        c.network = i;
    }
    if (c.network == kNone)
      throw LoadError(LoadError::Kind::option,
                      source + ": no column says network, cidr or prefix: give network= or start= and end=");
  }
  auto taken = [&](std::size_t i) { return i == c.network || i == c.start || i == c.end; };
  if (o.value) {
    c.value = find(*o.value);
  } else {
    for (std::size_t i = 0; i < header.size() && c.value == kNone; ++i)
      if (!taken(i)) c.value = i;
  }
  if (o.attributes) {
    for (const std::string& name : *o.attributes) c.attributes.push_back(find(name));
  } else {
    for (std::size_t i = 0; i < header.size(); ++i)
      if (!taken(i) && i != c.value) c.attributes.push_back(i);
  }
  // A record's attribute names are distinct: the first column of a name wins.
  std::vector<std::size_t> distinct;
  for (std::size_t i : c.attributes)
    if (std::none_of(distinct.begin(), distinct.end(), [&](std::size_t j) { return trim(header[j]) == trim(header[i]); }))
      distinct.push_back(i);
  c.attributes = std::move(distinct);
  return c;
}

/// A range end (5): an address, or a decimal integer (family decided by
/// the caller); nullopt for neither.
struct End {
  bool number = false;
  u128 value = 0;
  IpAddress address;
};
std::optional<End> range_end(std::string_view text) {
  text = trim(text);
  End e;
  if (!text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    constexpr u128 kMax = ~u128{0};
    for (char c : text) {
      const unsigned d = static_cast<unsigned>(c - '0');
      if (e.value > (kMax - d) / 10) return std::nullopt;
      e.value = e.value * 10 + d;
    }
    e.number = true;
    return e;
  }
  const auto a = parse_address(text);
  if (!a) return std::nullopt;
  e.address = *a;
  return e;
}

}  // namespace

void read_csv(Lines& lines, const LoadOptions& options, LoadedTable& out) {
  std::vector<std::string> header, fields;
  std::string joined;
  // 1.
  std::string_view head = lines.peek(64 << 10);
  if (head.substr(0, 3) == "\xEF\xBB\xBF") head.remove_prefix(3);
  head = head.substr(0, head.find('\n'));
  std::size_t commas = 0, tabs = 0;
  bool in_quotes = false;
  for (char c : head) {
    if (c == '"') in_quotes = !in_quotes;
    else if (!in_quotes && c == ',') ++commas;
    else if (!in_quotes && c == '\t') ++tabs;
  }
  const char delimiter = tabs > commas ? '\t' : ',';
  std::uint64_t row_line = 0;
  if (!next_row(lines, delimiter, header, joined, row_line))
    throw LoadError(LoadError::Kind::format, lines.name() + ": no header row");
  const Columns c = columns_of(header, options, lines.name());  // 3.
  auto fail = [&](const std::string& what) {
    throw LoadError(LoadError::Kind::format, lines.name() + ":" + std::to_string(row_line) + ": " + what);
  };
  std::vector<std::pair<std::string_view, std::string_view>> pairs;
  while (next_row(lines, delimiter, fields, joined, row_line)) {
    if (fields.size() == 1 && fields[0].empty()) continue;  // 4.
    if (fields.size() != header.size())
      fail("a row of " + std::to_string(fields.size()) + " fields under a header of " + std::to_string(header.size()));
    if (c.network != kNone) {
      const auto p = parse_prefix(trim(fields[c.network]));
      if (!p) fail("bad network " + quoted(fields[c.network]));
      out.prefixes.push_back(*p);
    } else {
      auto a = range_end(fields[c.start]), b = range_end(fields[c.end]);
      if (!a) fail("bad range start " + quoted(fields[c.start]));
      if (!b) fail("bad range end " + quoted(fields[c.end]));
      if (a->number != b->number) fail("a range with one end a number and one an address");
      if (a->number) {  // 5.
        const std::uint8_t family = std::max(a->value, b->value) > 0xFFFFFFFFu ? kIpv6 : kIpv4;
        a->address = number_address(family, a->value);
        b->address = number_address(family, b->value);
      }
      if (a->address.family != b->address.family) fail("a range whose ends are of two families");
      if (address_number(a->address) > address_number(b->address)) fail("a range that ends before it starts");
      range_blocks(a->address, b->address, out.prefixes);
    }
    pairs.clear();
    for (std::size_t i : c.attributes) pairs.emplace_back(trim(header[i]), fields[i]);
    const std::string_view value = c.value == kNone ? std::string_view{} : std::string_view(fields[c.value]);
    const RecordRef record = RecordRef::intern(RecordSource{value, pairs.data(), pairs.size()});
    out.records.resize(out.prefixes.size(), record);
  }
}

}  // namespace netrove::load
