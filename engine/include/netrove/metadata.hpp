// netrove/metadata.hpp - the record stored with every prefix, and its JSON
// text form {"value":"...","attributes":{"k":"v",...}}.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace netrove {

/// String hash with a per-instance random seed.  A default-constructed hash
/// draws a fresh seed, so every new map iterates in its own order; copies of
/// a map keep their seed.  Transparent: maps using it can be probed with a
/// std::string_view.
struct SeededStringHash {
  using is_transparent = void;

  SeededStringHash();
  explicit SeededStringHash(std::uint64_t seed) noexcept : seed(seed) {}

  std::size_t operator()(std::string_view s) const noexcept;

  std::uint64_t seed;
};

/// Attribute map of a record: text to text, unspecified iteration order.
using AttributeMap = std::unordered_map<std::string, std::string, SeededStringHash, std::equal_to<>>;

/// The payload stored per prefix.
struct Metadata {
  std::string value;
  AttributeMap attributes;

  /// Same value and same set of attribute pairs (order never matters).
  friend bool operator==(const Metadata& a, const Metadata& b) {
    return a.value == b.value && a.attributes == b.attributes;
  }
};

/// Writes `record` as compact JSON: {"value":<value>,"attributes":{...}}
/// with attributes in the map's iteration order.  Quote, backslash and bytes
/// below 0x20 are escaped; every other byte is copied, so the text is UTF-8
/// whenever the record's texts are.  Never fails (short of memory).
std::string to_json(const Metadata& record);

/// Reads the object form {"value":s,"attributes":{...}} (members in any order,
/// each of the two exactly once, other members of any JSON value skipped) or
/// the positional form [s,{...}]; a repeated attribute name keeps its last
/// value.  Returns nothing for any text outside that grammar, including text
/// that is not valid UTF-8 and nesting deeper than 127 levels; nothing
/// partial escapes.  from_json(to_json(r)) == r for every record whose texts
/// are valid UTF-8.
std::optional<Metadata> from_json(std::string_view text);

}  // namespace netrove
