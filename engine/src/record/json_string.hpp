// record/json_string.hpp - texts and records as JSON: the one escaper of the
// library's JSON (records' text form, the loaders' JSON of MMDB data, the
// command's output) and the writer of a record's members.
#pragma once

#include <string>
#include <string_view>

namespace netrove {

/// Appends `s` to `out` as a JSON string, quotes included: '"', '\\' and
/// bytes below 0x20 escaped, every other byte copied.
void append_json_string(std::string& out, std::string_view s);

/// Appends the attributes' JSON object, {"key":"text",...} in their order.
template <class Pairs>
void append_attributes_json(std::string& out, const Pairs& pairs) {
  out.push_back('{');
  bool first = true;
  for (const auto& [key, text] : pairs) {
    if (!first) out.push_back(',');
    first = false;
    append_json_string(out, key);
    out.push_back(':');
    append_json_string(out, text);
  }
  out.push_back('}');
}

/// Appends the members of a record's JSON object, `"value":...,
/// "attributes":{...}` without the outer braces (so that a caller can add
/// members of its own), from its value text and its (key, text) pairs in
/// their order.
template <class Pairs>
void append_record_members(std::string& out, std::string_view value, const Pairs& pairs) {
  out.append("\"value\":", 8);
  append_json_string(out, value);
  out.append(",\"attributes\":", 14);
  append_attributes_json(out, pairs);
}

}  // namespace netrove
