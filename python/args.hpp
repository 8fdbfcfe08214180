// Argument binding and conversion for the methods of RadixEngine.
//
// Binding follows the interpreter's own keyword-argument unpacking step by
// step, so that count, keyword and duplicate errors read exactly as those of
// built-in functions (for example "RadixEngine.insert() missing required
// argument 'metadata' (pos 2)").  Conversions raise the module's fixed
// messages and mark which parameter failed with an exception note.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "netrove/metadata.hpp"
#include "netrove/record.hpp"
#include "netrove/types.hpp"

namespace netrove::py {

/// Interned strings used as keyword names and dict keys.  Created once by
/// init_strings() during module population, kept for the life of the process.
struct Strings {
  PyObject* subnet;
  PyObject* metadata;
  PyObject* ip;
  PyObject* variant;
  PyObject* value;
  PyObject* attributes;
  PyObject* add_note;
  PyObject* size;
  PyObject* inserts;
  PyObject* lookups;
  PyObject* hits;
  PyObject* misses;
  PyObject* removals;
  PyObject* ips;
  PyObject* items;
  PyObject* family;
  PyObject* source;
  PyObject* format;
  PyObject* network;
  PyObject* start;
  PyObject* end;
  PyObject* progress;
  PyObject* read;
  PyObject* path;
};
extern Strings strings;

/// Fills `strings` on first call.  Returns false with an error set on failure.
bool init_strings() noexcept;

/// A parameter list: the first `positional` parameters positional-or-
/// keyword (all of them when `positional` is negative), the rest
/// keyword-only; the first `required` of them required.  `fname` names the
/// callable in messages, for example "RadixEngine.insert".
struct Params {
  const char* fname;
  int count;
  int required;
  PyObject* const* const* names;  // `count` pointers into `strings`
  int positional = -1;

  constexpr int max_positional() const noexcept { return positional < 0 ? count : positional; }
};

/// The general case of bind() below: keywords, or a count that does not fit.
bool bind_general(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** out) noexcept;

/// Binds a vectorcall argument list: `out[i]` is the i-th parameter's
/// argument (borrowed) or null when an optional one is absent.  Returns false
/// with TypeError set when the arguments do not fit.  Inline for the common
/// call, positional arguments only and as many as fit, which is on every
/// lookup's path.
inline bool bind(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out) noexcept {
  if (kwnames == nullptr && p.required <= nargs && nargs <= p.max_positional()) {
    for (int i = 0; i < p.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    return true;
  }
  return bind_general(p, args, nargs, kwnames, out);
}

/// The same for an argument tuple and keyword dict (tp_new).
bool bind(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out) noexcept;

/// Raises TypeError "'<type>' object is not an instance of '<expected>'"
/// (for None: "'None' is not an instance of '<expected>'").
void raise_not_instance(PyObject* obj, const char* expected) noexcept;

/// Adds the note "while processing '<param>'" to the raised exception.
void add_param_note(const char* param) noexcept;

/// Adds the note "while processing element <i> of '<param>'" to the raised
/// exception (a batch call names the element that failed).
void add_element_note(Py_ssize_t i, const char* param) noexcept;

/// The UTF-8 text of `obj`, which must be a str: TypeError (wrong type) or
/// the encoding error (lone surrogates) otherwise, without a note.  The view
/// lives as long as `obj`.
bool utf8_of(PyObject* obj, std::string_view& out) noexcept;

/// utf8_of, with the note "while processing '<param>'" on failure.
bool text_arg(PyObject* obj, const char* param, std::string_view& out) noexcept;

/// `ip` as an address: an address object or 4 or 16 packed bytes
/// (keys.hpp), or text (note 'ip') by the address grammar; ValueError
/// "Invalid IP address: <ip>" when the grammar rejects it.
bool address_arg(PyObject* ip, IpAddress& out);

/// The text of `subnet` (already taken from it) by the prefix grammar;
/// ValueError "Invalid CIDR '<subnet>': invalid address: <subnet>" otherwise.
bool parse_subnet(PyObject* subnet, std::string_view text, IpPrefix& out);

/// `subnet` as a prefix: a network or interface object, an address object
/// or packed bytes (its /32 or /128), or text (note 'subnet') by the prefix
/// grammar.
bool prefix_arg(PyObject* subnet, IpPrefix& out);

/// An address or a prefix, as the longest-match queries and the mapping
/// protocol take them.
struct Key {
  bool is_prefix = false;
  IpAddress address;  // when !is_prefix
  IpPrefix prefix;    // when is_prefix
};

/// `key` as an address or a prefix: objects as keys.hpp converts them; a
/// text with a "/" by the prefix grammar, any other text by the address
/// grammar (each with its ValueError); another type is TypeError "'<type>'
/// object is not an instance of 'str'" with the note `param`.
bool key_arg(PyObject* key, const char* param, Key& out);

class InsertMemo;

/// The arguments of insert, converted in its order: `subnet` to text (note
/// 'subnet') unless it is a prefix or address object, `metadata` a dict
/// (TypeError, note 'metadata'), the prefix grammar, then the stored record
/// (insert_record.hpp).  With a `memo` (insert_many), a dict it remembers
/// gives its record unconverted, lent (not to be released before the memo
/// finishes: InsertMemo::lend), and a converted one is remembered unless
/// converting it may have run Python code (insert_memo.hpp).  Without
/// one (a single insert), the records of recent dicts are kept across
/// calls the same way (recent_records.hpp).  False with the error set and
/// `record` as it was.
bool insert_args(PyObject* subnet, PyObject* metadata, IpPrefix& prefix, RecordRef& record,
                 InsertMemo* memo = nullptr);

}  // namespace netrove::py
