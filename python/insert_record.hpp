// The stored record of a metadata dict, made from the dict's own strings.
//
//   {"value": "AS1", "attributes": {"asn": "1"}}
//        |                 |          |     |
//        v                 v          v     v     views of the str objects'
//   RecordSource{ value,  pairs{(key, text)} }    UTF-8 (compact ASCII str:
//        |                                        its own bytes, no copy)
//        v
//   RecordRef::intern  -- hashed and probed in place; the block is built
//                         (the texts copied once) only for a new record
//
// No Metadata (a std::string and a hash map of strings, four allocations
// and as many frees per record) is built on the way.  The rules are those
// of metadata_from_dict (convert.hpp), which stays the reference and which
// this falls back to where views cannot stand in for it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "netrove/record.hpp"

namespace netrove::py {

/// The text of a compact ASCII str: its own bytes, which are its UTF-8,
/// read in place.  False (nothing raised) for any other object, which
/// utf8_of (args.hpp) then converts.
inline bool ascii_text(PyObject* obj, std::string_view& out) noexcept {
  if (!PyUnicode_Check(obj) || !PyUnicode_IS_COMPACT_ASCII(obj)) return false;
  out = {static_cast<const char*>(PyUnicode_DATA(obj)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj))};
  return true;
}

/// The stored record of `dict` (a dict or subclass, not checked), converted
/// as metadata_from_dict converts it (the same errors, raised in the same
/// order, without a note).  With `pure`, *pure is cleared when the
/// conversion may have run Python code (a key of `dict` that is not exactly
/// a str can run its __eq__ during the dict lookups) and left alone
/// otherwise; with `attributes`, *attributes is the attributes dict the
/// record was made from (borrowed, held by `dict`), or null.  False with
/// the error set.
bool stored_record_of(PyObject* dict, RecordRef& out, bool* pure = nullptr, PyObject** attributes = nullptr);

}  // namespace netrove::py
