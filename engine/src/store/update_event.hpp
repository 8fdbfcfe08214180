// store/update_event.hpp - the change notifications of the Redis table.
//
// Every write of a hybrid engine with a store publishes one UpdateEvent on
// its update_channel (default "netrove:updates") in the same MULTI/EXEC as
// the hash write, so every subscriber receives the events in the order the
// hash took the writes, whichever engine made them.
//
// Wire form: one PUBLISH payload of lines separated by "\n" (0x0A), UTF-8:
//
//   +---------+----+----------------+----+----------------------+
//   | op      | \n | prefix_field   | \n | Metadata JSON        |   insert
//   +---------+----+----------------+----+----------------------+
//   | op      | \n | prefix_field   |                               remove
//   +---------+----+----------------+
//   | op      |                                                     clear
//   +---------+
//
//   op      "insert", "remove" or "clear"
//   field   the hash field: prefix_field(prefix), e.g. "10.0.0.0/8"
//   json    the hash value: to_json(record), e.g. {"value":"x","attributes":{}}
//           (everything after the second "\n"; compact JSON has no raw
//           newline, so a reader may also split on the first two only)
//
// A message carries one event, or several one after another (a bulk write
// publishes the events of each chunk as one message):
//
//   payload = event *( "\n" event )
//
// A reader takes an op line, then as many lines as that op has parts.
// Fields never hold a newline, and the JSON is compact (no raw newline).
//
// Examples (\n shown as a line break):
//   insert                     remove              clear
//   10.0.0.0/8                 10.0.0.0/8
//   {"value":"a","attributes":{}}
//
// Following the table from another program: SUBSCRIBE to the channel first,
// then HGETALL "netrove:entries", then apply every message in order
// (insert = set the field, remove = delete it, clear = reload the hash).
// Applying an event that the loaded hash already reflects changes nothing,
// so the events that arrived between SUBSCRIBE and HGETALL may be applied
// again.  After any break of the subscription, start over.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace netrove {

/// One change of the table: two texts and an optional text.
struct UpdateEvent {
  std::string op;                   ///< kInsertOp, kRemoveOp or kClearOp
  std::string field;                ///< prefix_field of the prefix; empty for clear
  std::optional<std::string> json;  ///< the record's JSON text, for insert only

  friend bool operator==(const UpdateEvent&, const UpdateEvent&) = default;
};

inline constexpr std::string_view kInsertOp = "insert";
inline constexpr std::string_view kRemoveOp = "remove";
inline constexpr std::string_view kClearOp = "clear";

/// The payload of `event` in the wire form above.
std::string encode_event(const UpdateEvent& event);

/// Reads a payload of one or more events.  Nothing when any part is not
/// one of the three forms (an unknown op, a missing part), or the text is
/// not UTF-8.  The field and the JSON are not parsed here (the follower
/// does that).
std::optional<std::vector<UpdateEvent>> decode_events(std::string_view payload);

/// decode_events of a payload that must hold exactly one event.
std::optional<UpdateEvent> decode_event(std::string_view payload);

}  // namespace netrove
