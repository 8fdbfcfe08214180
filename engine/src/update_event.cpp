// UpdateEvent: the payload texts of the update channel.
#include "netrove/update_event.hpp"

#include "utf8.hpp"

namespace netrove {

std::string encode_event(const UpdateEvent& event) {
  std::string out = event.op;
  if (event.op == kClearOp) return out;
  out += '\n';
  out += event.field;
  if (event.json) {
    out += '\n';
    out += *event.json;
  }
  return out;
}

// Decode cases:
//   1. not UTF-8: nothing;
//   2. "clear" alone: clear;
//   3. "remove\nfield" with no further newline: remove;
//   4. "insert\nfield\njson" (json may hold anything): insert;
//   5. anything else: nothing.
std::optional<UpdateEvent> decode_event(std::string_view payload) {
  if (!valid_utf8(payload)) return std::nullopt;  // 1.
  if (payload == kClearOp) return UpdateEvent{std::string(kClearOp), {}, std::nullopt};  // 2.
  const auto nl = payload.find('\n');
  if (nl == std::string_view::npos) return std::nullopt;
  const std::string_view op = payload.substr(0, nl), rest = payload.substr(nl + 1);
  const auto nl2 = rest.find('\n');
  if (op == kRemoveOp && nl2 == std::string_view::npos)  // 3.
    return UpdateEvent{std::string(op), std::string(rest), std::nullopt};
  if (op == kInsertOp && nl2 != std::string_view::npos)  // 4.
    return UpdateEvent{std::string(op), std::string(rest.substr(0, nl2)), std::string(rest.substr(nl2 + 1))};
  return std::nullopt;  // 5.
}

}  // namespace netrove
