// The mmdb format: MaxMind DB files (GeoLite2 and GeoIP2 Country, City,
// ASN, and any other), read through libmaxminddb.
//
// The search tree is walked depth first from node 0; a record that leads
// to data ends a network.  In an IPv6 tree the IPv4 networks live under
// ::/96 and are stored as IPv4 prefixes; MaxMind's files alias other
// networks to that subtree (::ffff:0:0/96, 2001::/32, 2002::/16) by
// pointing their record at its node, and those are skipped, not stored
// again as IPv6:
//
//   node 0 --0--> ... 96 zero bits ... --> v4 (the IPv4 start node)
//      |                                     ^
//      +--1--> ... 2002::/16 --------------- +   alias: skipped
//
// Each distinct data record (by its offset in the data section) is turned
// into a stored record once:
//   value       the `value` path's text; by default the first of
//               country.iso_code, registered_country.iso_code,
//               autonomous_system_number the record has, else its compact
//               JSON; a path the record lacks gives ""
//   attributes  the `attributes` paths' texts; by default every leaf,
//               flattened to dotted keys (city.names.en,
//               subdivisions.0.iso_code)
// A leaf's text: a string as is, a number as Python's str() writes it,
// booleans "true"/"false", bytes in hex; a map or array given by a path is
// its compact JSON.  A record that is not a map is its own text as the
// value, with no attributes.  Empty maps and arrays are not leaves.
//
// libmaxminddb opens files by name, so the decompressed source is copied
// into an anonymous memory file first (memfd), whatever it came from.
#include <maxminddb.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "load/ranges.hpp"
#include "load/readers.hpp"
#include "record/json_string.hpp"

namespace netrove::load {

namespace {

constexpr std::string_view kMarker = "\xAB\xCD\xEFMaxMind.com";

/// One decoded value of a data record.
struct Value {
  enum Kind : std::uint8_t { leaf, text, map, array } kind = leaf;  // text: a string or bytes leaf
  std::string scalar;                                               // a leaf's text (or JSON for json())
  std::vector<std::pair<std::string, Value>> members;               // map
  std::vector<Value> items;                                         // array
};

/// A double as Python's repr writes it: the shortest digits that read back,
/// fixed notation for exponents -4..15 (with ".0" when whole), else
/// d.ddde+XX.
std::string python_float(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string sci(buf, r.ptr);  // -d.ddde+XX
  const std::size_t e = sci.find('e');
  const int exp = std::stoi(sci.substr(e + 1));
  std::string sign, digits;
  for (std::size_t i = 0; i < e; ++i) {
    if (sci[i] == '-') sign = "-";
    else if (sci[i] != '.') digits.push_back(sci[i]);
  }
  if (exp < -4 || exp >= 16) return sci;
  std::string out = sign;
  if (exp < 0) {
    out += "0." + std::string(static_cast<std::size_t>(-exp - 1), '0') + digits;
  } else if (static_cast<std::size_t>(exp) + 1 >= digits.size()) {
    out += digits + std::string(static_cast<std::size_t>(exp) + 1 - digits.size(), '0') + ".0";
  } else {
    out += digits.substr(0, static_cast<std::size_t>(exp) + 1) + "." + digits.substr(static_cast<std::size_t>(exp) + 1);
  }
  return out;
}

std::string u128_text(u128 v) {
  if (v == 0) return "0";
  std::string s;
  while (v) {
    s.push_back(static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  }
  return {s.rbegin(), s.rend()};
}

class Decoder {
 public:
  explicit Decoder(const std::string& source) : source_(source) {}

  /// Decodes the value starting at `*e`, advancing it past.
  Value decode(MMDB_entry_data_list_s*& e) {
    if (!e) fail("a data record ends early");
    const MMDB_entry_data_s& d = e->entry_data;
    e = e->next;
    Value v;
    switch (d.type) {
      case MMDB_DATA_TYPE_UTF8_STRING:
        v.kind = Value::text;
        v.scalar.assign(d.utf8_string, d.data_size);
        break;
      case MMDB_DATA_TYPE_DOUBLE: v.scalar = python_float(d.double_value); break;
      case MMDB_DATA_TYPE_FLOAT: v.scalar = python_float(static_cast<double>(d.float_value)); break;
      case MMDB_DATA_TYPE_UINT16: v.scalar = std::to_string(d.uint16); break;
      case MMDB_DATA_TYPE_UINT32: v.scalar = std::to_string(d.uint32); break;
      case MMDB_DATA_TYPE_INT32: v.scalar = std::to_string(d.int32); break;
      case MMDB_DATA_TYPE_UINT64: v.scalar = std::to_string(d.uint64); break;
      case MMDB_DATA_TYPE_UINT128:
#if MMDB_UINT128_IS_BYTE_ARRAY
      {
        u128 x = 0;
        for (int i = 0; i < 16; ++i) x = x << 8 | d.uint128[i];
        v.scalar = u128_text(x);
      }
#else
        v.scalar = u128_text(d.uint128);
#endif
        break;
      case MMDB_DATA_TYPE_BOOLEAN: v.scalar = d.boolean ? "true" : "false"; break;
      case MMDB_DATA_TYPE_BYTES: {
        v.kind = Value::text;  // hex, a string in JSON
        static constexpr char kHex[] = "0123456789abcdef";
        for (std::uint32_t i = 0; i < d.data_size; ++i) {
          v.scalar.push_back(kHex[d.bytes[i] >> 4]);
          v.scalar.push_back(kHex[d.bytes[i] & 15]);
        }
        break;
      }
      case MMDB_DATA_TYPE_MAP:
        v.kind = Value::map;
        for (std::uint32_t i = 0; i < d.data_size; ++i) {
          if (!e || e->entry_data.type != MMDB_DATA_TYPE_UTF8_STRING) fail("a map key that is not a string");
          std::string key(e->entry_data.utf8_string, e->entry_data.data_size);
          e = e->next;
          v.members.emplace_back(std::move(key), decode(e));
        }
        break;
      case MMDB_DATA_TYPE_ARRAY:
        v.kind = Value::array;
        for (std::uint32_t i = 0; i < d.data_size; ++i) v.items.push_back(decode(e));
        break;
      default: fail("a data field of type " + std::to_string(d.type));
    }
    return v;
  }

  [[noreturn]] void fail(const std::string& what) const {
    throw LoadError(LoadError::Kind::format, source_ + ": " + what);
  }

 private:
  const std::string& source_;
};

void append_json(std::string& out, const Value& v) {
  switch (v.kind) {
    case Value::text: append_json_string(out, v.scalar); break;
    case Value::leaf:
      // Numbers and booleans are JSON as they are written; the non-finite
      // numbers have no JSON form and go as strings.
      if (v.scalar == "nan" || v.scalar == "inf" || v.scalar == "-inf") append_json_string(out, v.scalar);
      else out += v.scalar;
      break;
    case Value::map:
      out.push_back('{');
      for (std::size_t i = 0; i < v.members.size(); ++i) {
        if (i) out.push_back(',');
        append_json_string(out, v.members[i].first);
        out.push_back(':');
        append_json(out, v.members[i].second);
      }
      out.push_back('}');
      break;
    case Value::array:
      out.push_back('[');
      for (std::size_t i = 0; i < v.items.size(); ++i) {
        if (i) out.push_back(',');
        append_json(out, v.items[i]);
      }
      out.push_back(']');
      break;
  }
}

/// A value's text: a leaf's own, a map's or array's compact JSON.
std::string text_of(const Value& v) {
  if (v.kind == Value::leaf || v.kind == Value::text) return v.scalar;
  std::string out;
  append_json(out, v);
  return out;
}

/// The value at a dotted path (array elements by index), or null.
const Value* at_path(const Value& root, std::string_view path) {
  const Value* v = &root;
  while (true) {
    const std::size_t dot = path.find('.');
    const std::string_view step = path.substr(0, dot);
    const Value* next = nullptr;
    if (v->kind == Value::map) {
      for (const auto& [k, m] : v->members)
        if (k == step) {
          next = &m;
          break;
        }
    } else if (v->kind == Value::array) {
      std::size_t i = 0;
      const auto r = std::from_chars(step.data(), step.data() + step.size(), i);
      if (r.ec == std::errc() && r.ptr == step.data() + step.size() && i < v->items.size()) next = &v->items[i];
    }
    if (!next) return nullptr;
    v = next;
    if (dot == std::string_view::npos) return v;
    path.remove_prefix(dot + 1);
  }
}

void flatten(const Value& v, std::string& path, std::vector<std::pair<std::string, std::string>>& out) {
  const std::size_t at = path.size();
  auto child = [&](std::string_view step, const Value& c) {
    if (at) path.push_back('.');
    path.append(step);
    flatten(c, path, out);
    path.resize(at);
  };
  switch (v.kind) {
    case Value::map:
      for (const auto& [k, m] : v.members) child(k, m);
      break;
    case Value::array:
      for (std::size_t i = 0; i < v.items.size(); ++i) child(std::to_string(i), v.items[i]);
      break;
    default: out.emplace_back(path, v.scalar);
  }
}

class MmdbReader {
 public:
  MmdbReader(Lines& in, const LoadOptions& o, LoadedTable& out, bool detected)
      : in_(in), o_(o), out_(out), detected_(detected), decoder_(in.name()) {}
  ~MmdbReader() {
    if (open_) MMDB_close(&db_);
    if (fd_ >= 0) ::close(fd_);
  }

  void run() {
    copy_to_memory_file();
    const std::string name = "/proc/self/fd/" + std::to_string(fd_);
    const int status = MMDB_open(name.c_str(), MMDB_MODE_MMAP, &db_);
    if (status != MMDB_SUCCESS) {
      if (detected_) unknown();
      decoder_.fail(std::string("not a MaxMind DB file: ") + MMDB_strerror(status));
    }
    open_ = true;
    walk();
  }

 private:
  void copy_to_memory_file() {
    fd_ = memfd_create("netrove-mmdb", MFD_CLOEXEC);
    if (fd_ < 0) throw LoadError(LoadError::Kind::io, in_.name() + ": " + std::strerror(errno), errno);
    std::string tail;  // the last bytes, for the metadata marker
    for (;;) {
      const std::string_view chunk = in_.take(1 << 20);
      if (chunk.empty()) break;
      for (std::size_t done = 0; done < chunk.size();) {
        const ssize_t w = ::write(fd_, chunk.data() + done, chunk.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) throw LoadError(LoadError::Kind::io, in_.name() + ": " + std::strerror(errno), errno);
        done += static_cast<std::size_t>(w);
      }
      tail.append(chunk);
      if (tail.size() > (256u << 10)) tail.erase(0, tail.size() - (128u << 10));
    }
    if (tail.find(kMarker) == std::string::npos) {
      if (detected_) unknown();
      decoder_.fail("not a MaxMind DB file: no metadata section");
    }
  }

  [[noreturn]] void unknown() const {
    throw LoadError(LoadError::Kind::format, in_.name() + ": cannot tell the format of binary data: give format= as one of " +
                                                 std::string(load_format_names()));
  }

  MMDB_search_node_s node(std::uint32_t n) {
    MMDB_search_node_s s;
    const int status = MMDB_read_node(&db_, n, &s);
    if (status != MMDB_SUCCESS) decoder_.fail(std::string("a corrupt search tree: ") + MMDB_strerror(status));
    return s;
  }

  /// The node of ::/96 in an IPv6 tree (the IPv4 networks below it), or
  /// none.
  std::uint64_t ipv4_start() {
    if (db_.metadata.ip_version != 6) return UINT64_MAX;
    std::uint64_t n = 0;
    for (int depth = 0; depth < 96; ++depth) {
      const MMDB_search_node_s s = node(static_cast<std::uint32_t>(n));
      if (s.left_record_type != MMDB_RECORD_TYPE_SEARCH_NODE) return UINT64_MAX;
      n = s.left_record;
    }
    return n;
  }

  void walk() {
    const unsigned width = db_.metadata.ip_version == 6 ? 128 : 32;
    const std::uint64_t v4 = ipv4_start();
    const std::uint32_t nodes = db_.metadata.node_count;
    struct Frame {
      std::uint32_t node;
      std::uint8_t depth;
      std::array<std::uint8_t, 16> bits;
    };
    std::vector<Frame> stack{{0, 0, {}}};
    std::uint64_t visited = 0;
    while (!stack.empty()) {
      const Frame f = stack.back();
      stack.pop_back();
      // A tree is at most node_count nodes: more visits is a cycle.
      if (++visited > std::uint64_t{nodes} + 1) decoder_.fail("a corrupt search tree: a cycle");
      const MMDB_search_node_s s = node(f.node);
      for (int side = 1; side >= 0; --side) {
        const std::uint8_t type = side ? s.right_record_type : s.left_record_type;
        const std::uint64_t record = side ? s.right_record : s.left_record;
        std::array<std::uint8_t, 16> bits = f.bits;
        if (side) bits[f.depth / 8] |= static_cast<std::uint8_t>(0x80u >> (f.depth % 8));
        const std::uint8_t depth = static_cast<std::uint8_t>(f.depth + 1);
        if (type == MMDB_RECORD_TYPE_SEARCH_NODE) {
          if (depth >= width) decoder_.fail("a corrupt search tree: deeper than the address width");
          if (record == v4 && !(depth == 96 && zero_below(bits, 96))) continue;  // an alias
          stack.push_back({static_cast<std::uint32_t>(record), depth, bits});
        } else if (type == MMDB_RECORD_TYPE_DATA) {
          add(bits, depth, width, side ? s.right_record_entry : s.left_record_entry);
        } else if (type == MMDB_RECORD_TYPE_INVALID) {
          decoder_.fail("a corrupt search tree: a record past the data section");
        }
      }
    }
  }

  static bool zero_below(const std::array<std::uint8_t, 16>& bits, unsigned n) {
    for (unsigned i = 0; i < n / 8; ++i)
      if (bits[i]) return false;
    return true;
  }

  void add(const std::array<std::uint8_t, 16>& bits, unsigned depth, unsigned width, MMDB_entry_s entry) {
    IpPrefix p;
    if (width == 32) {
      p.family = kIpv4;
      std::copy(bits.begin(), bits.begin() + 4, p.address.begin());
      p.length = static_cast<std::uint8_t>(depth);
    } else if (depth >= 96 && zero_below(bits, 96)) {
      p.family = kIpv4;
      std::copy(bits.begin() + 12, bits.end(), p.address.begin());
      p.length = static_cast<std::uint8_t>(depth - 96);
    } else {
      p.family = kIpv6;
      p.address = bits;
      p.length = static_cast<std::uint8_t>(depth);
    }
    out_.prefixes.push_back(p);
    out_.records.push_back(record_at(entry));
    if ((out_.prefixes.size() & 0xFFFF) == 0) in_.tick();  // progress and signals on a long walk
  }

  const RecordRef& record_at(MMDB_entry_s entry) {
    const auto [it, fresh] = records_.try_emplace(entry.offset);
    if (!fresh) return it->second;
    MMDB_entry_data_list_s* list = nullptr;
    const int status = MMDB_get_entry_data_list(&entry, &list);
    struct Free {
      MMDB_entry_data_list_s* l;
      ~Free() { MMDB_free_entry_data_list(l); }
    } free_list{list};
    if (status != MMDB_SUCCESS) decoder_.fail(std::string("a corrupt data record: ") + MMDB_strerror(status));
    MMDB_entry_data_list_s* cursor = list;
    const Value v = decoder_.decode(cursor);
    it->second = convert(v);
    return it->second;
  }

  RecordRef convert(const Value& v) {
    std::string value;
    std::vector<std::pair<std::string, std::string>> attrs;
    if (v.kind != Value::map) {
      value = text_of(v);
    } else {
      if (o_.value) {
        const Value* at = at_path(v, *o_.value);
        value = at ? text_of(*at) : std::string();
      } else {
        const Value* at = nullptr;
        for (const char* path : {"country.iso_code", "registered_country.iso_code", "autonomous_system_number"})
          if ((at = at_path(v, path))) break;
        value = at ? text_of(*at) : text_of(v);
      }
      if (o_.attributes) {
        for (const std::string& path : *o_.attributes) {
          const Value* at = at_path(v, path);
          attrs.emplace_back(path, at ? text_of(*at) : std::string());
        }
      } else {
        std::string path;
        flatten(v, path, attrs);
      }
    }
    // A name given twice, or two map keys that flatten to one dotted key
    // ("a.b" and a {"b"} under "a"): the first wins, as a record's names
    // are distinct.
    std::vector<std::pair<std::string_view, std::string_view>> distinct;
    for (const auto& a : attrs)
      if (std::none_of(distinct.begin(), distinct.end(), [&](const auto& d) { return d.first == a.first; }))
        distinct.emplace_back(a.first, a.second);
    return RecordRef::intern(RecordSource{value, distinct.data(), distinct.size()});
  }

  Lines& in_;
  const LoadOptions& o_;
  LoadedTable& out_;
  bool detected_;
  Decoder decoder_;
  int fd_ = -1;
  MMDB_s db_{};
  bool open_ = false;
  std::unordered_map<std::uint32_t, RecordRef> records_;
};

}  // namespace

void read_mmdb(Lines& lines, const LoadOptions& options, LoadedTable& out, bool detected) {
  MmdbReader(lines, options, out, detected).run();
}

}  // namespace netrove::load
