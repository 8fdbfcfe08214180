// record/json_string.hpp - a text as a JSON string, the one escaper of the
// library's JSON (records' text form, the loaders' JSON of MMDB data).
#pragma once

#include <string>
#include <string_view>

namespace netrove {

/// Appends `s` to `out` as a JSON string, quotes included: '"', '\\' and
/// bytes below 0x20 escaped, every other byte copied.
void append_json_string(std::string& out, std::string_view s);

}  // namespace netrove
