// UpdateEvent: the payload texts of the update channel.
#include "store/update_event.hpp"

#include "text/utf8.hpp"

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

// Decode cases, per event, taking lines from the front:
//   1. not UTF-8, or an empty payload: nothing;
//   2. "clear": clear;
//   3. "remove" and one more line: remove of that field;
//   4. "insert" and two more lines: insert of that field and JSON;
//   5. anything else, or a line missing: nothing (the whole payload).
std::optional<std::vector<UpdateEvent>> decode_events(std::string_view payload) {
  if (payload.empty() || !valid_utf8(payload)) return std::nullopt;  // 1.
  std::vector<UpdateEvent> out;
  std::size_t at = 0;
  bool more = true;
  auto line = [&](std::string_view& got) {
    if (!more) return false;
    const auto nl = payload.find('\n', at);
    got = payload.substr(at, nl == std::string_view::npos ? std::string_view::npos : nl - at);
    more = nl != std::string_view::npos;
    at = more ? nl + 1 : payload.size();
    return true;
  };
  std::string_view op, field, json;
  while (more) {
    if (!line(op)) return std::nullopt;
    if (op == kClearOp) {
      out.push_back({std::string(kClearOp), {}, std::nullopt});  // 2.
    } else if (op == kRemoveOp && line(field)) {
      out.push_back({std::string(op), std::string(field), std::nullopt});  // 3.
    } else if (op == kInsertOp && line(field) && line(json)) {
      out.push_back({std::string(op), std::string(field), std::string(json)});  // 4.
    } else {
      return std::nullopt;  // 5.
    }
  }
  return out;
}

std::optional<UpdateEvent> decode_event(std::string_view payload) {
  auto events = decode_events(payload);
  if (!events || events->size() != 1) return std::nullopt;
  return std::move(events->front());
}

}  // namespace netrove
