// The line formats: list, pfx2as, ipasn (see netrove/load.hpp's table).
#include <algorithm>
#include <string>
#include <vector>

#include "load/origin_records.hpp"
#include "load/ranges.hpp"
#include "load/readers.hpp"
#include "netrove/table_file.hpp"
#include "netrove/text.hpp"

namespace netrove::load {

std::string quoted(std::string_view s) {
  if (s.size() > 80) return "'" + std::string(s.substr(0, 80)) + "...'";
  return "'" + std::string(s) + "'";
}

namespace {

/// Where `s` first holds `a` or `b`, or its size.  (string_view's
/// find_first_of calls memchr on the set for every byte of `s`: a fifth of
/// a whole load's time went there.)
std::size_t first_of(std::string_view s, char a, char b) noexcept {
  for (std::size_t i = 0; i < s.size(); ++i)
    if (s[i] == a || s[i] == b) return i;
  return s.size();
}

}  // namespace

std::string_view list_entry(std::string_view line) noexcept {
  return trim(line.substr(0, first_of(line, '#', ';')));
}

bool list_prefixes(std::string_view entry, std::vector<IpPrefix>& out, std::string* why) {
  if (const std::size_t dash = entry.find('-'); dash != std::string_view::npos) {
    const auto first = parse_address(trim(entry.substr(0, dash)));
    const auto last = parse_address(trim(entry.substr(dash + 1)));
    if (!first || !last) return false;
    if (first->family != last->family) {
      if (why) *why = "a range whose ends are of two families: " + quoted(entry);
      return false;
    }
    if (address_number(*first) > address_number(*last)) {
      if (why) *why = "a range that ends before it starts: " + quoted(entry);
      return false;
    }
    range_blocks(*first, *last, out);
    return true;
  }
  const auto p = parse_prefix(entry);
  if (!p) return false;
  out.push_back(*p);
  return true;
}

namespace {

/// Splits `line` at runs of blanks into at most `n` fields; returns how
/// many there were (n + 1 when there were more).
std::size_t split_blanks(std::string_view line, std::string_view* fields, std::size_t n) {
  std::size_t count = 0;
  line = trim(line);
  while (!line.empty()) {
    if (count == n) return n + 1;
    const std::size_t end = first_of(line, ' ', '\t');
    fields[count++] = line.substr(0, end);
    line = trim(line.substr(end));
  }
  return count;
}

/// Two addresses around a '-': a range, if perhaps a wrong one (which the
/// list reader then reports with its line).
bool looks_like_range(std::string_view entry) {
  const std::size_t dash = entry.find('-');
  return dash != std::string_view::npos && parse_address(trim(entry.substr(0, dash))) &&
         parse_address(trim(entry.substr(dash + 1)));
}

bool all_digits(std::string_view s) noexcept {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

void read_list(Lines& lines, const std::string& value, LoadedTable& out) {
  const RecordRef record = RecordRef::intern(RecordSource{value, nullptr, 0});
  std::string_view line;
  std::string why;
  while (lines.next(line)) {
    const std::string_view entry = list_entry(line);
    if (entry.empty()) continue;
    if (!list_prefixes(entry, out.prefixes, &why))
      lines.fail(why.empty() ? "not an address, CIDR or range: " + quoted(entry) : why);
    out.records.resize(out.prefixes.size(), record);
  }
}

void read_pfx2as(Lines& lines, LoadedTable& out) {
  OriginRecords records;
  std::string_view line, f[3];
  std::string text;
  while (lines.next(line)) {
    const std::size_t n = split_blanks(line, f, 3);
    if (n == 0) continue;
    if (n != 3) lines.fail("expected network<TAB>length<TAB>origins, not " + quoted(line));
    const auto address = parse_address(f[0]);
    if (!address) lines.fail("bad network " + quoted(f[0]));
    if (!all_digits(f[1]) || f[1].size() > 3) lines.fail("bad prefix length " + quoted(f[1]));
    text.assign(f[0]).append("/").append(f[1]);
    const auto prefix = parse_prefix(text);
    if (!prefix) lines.fail("bad prefix length " + quoted(f[1]));
    out.prefixes.push_back(*prefix);
    records.append(f[2], out.records);
  }
}

void read_ipasn(Lines& lines, LoadedTable& out) {
  OriginRecords records;
  std::string_view line, f[2];
  while (lines.next(line)) {
    const std::string_view t = trim(line);
    if (t.empty() || t.front() == ';' || t.front() == '#') continue;
    const std::size_t n = split_blanks(t, f, 2);
    if (n != 2) lines.fail("expected prefix/length<TAB>asn, not " + quoted(line));
    const auto prefix = f[0].find('/') == std::string_view::npos ? std::nullopt : parse_prefix(f[0]);
    if (!prefix) lines.fail("bad prefix " + quoted(f[0]));
    out.prefixes.push_back(*prefix);
    records.append(f[1], out.records);
  }
}

LoadFormat detect_format(Lines& lines) {
  const std::string_view head = lines.peek(64 << 10);
  if (looks_like_table_file(head)) return LoadFormat::table;
  if (looks_like_mrt(head)) return LoadFormat::mrt;
  // Binary and no MRT: a MaxMind DB, if its metadata marker (at the end)
  // says so; the reader tells.
  if (std::any_of(head.begin(), head.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f' && b != '\v';
      }))
    return LoadFormat::mmdb;
  std::string_view rest = head;
  if (rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);
  while (!rest.empty()) {
    const std::size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::string_view t = trim(line);
    if (t.empty() || t.front() == '#' || t.front() == ';') continue;
    std::string_view f[3];
    std::vector<IpPrefix> scratch;
    const std::size_t n = split_blanks(t, f, 3);
    if (n == 3 && parse_address(f[0]) && all_digits(f[1]) && t.find(',') == std::string_view::npos)
      return LoadFormat::pfx2as;
    if (n == 2 && f[0].find('/') != std::string_view::npos && parse_prefix(f[0]) &&
        t.find(',') == std::string_view::npos && !list_prefixes(list_entry(t), scratch))
      return LoadFormat::ipasn;
    if (list_prefixes(list_entry(t), scratch) || looks_like_range(list_entry(t))) return LoadFormat::list;
    if (t.find(',') != std::string_view::npos || t.find('\t') != std::string_view::npos) return LoadFormat::csv;
    break;
  }
  throw LoadError(LoadError::Kind::format, lines.name() + ": cannot tell the format: give format= as one of " +
                                               std::string(load_format_names()));
}

}  // namespace netrove::load
