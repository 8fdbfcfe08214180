// The RadixEngine class.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "netrove/types.hpp"

namespace netrove::py {

/// The RadixEngine type object (a borrowed reference), created on first use
/// and kept for the life of the process.  Null with an error set if it could
/// not be created.
PyObject* radix_engine_type() noexcept;

/// A new reference to the function netrove.__restore__ of `module`, the
/// pickle reconstructor of RadixEngine (see entry_queries.hpp), kept as the
/// one __reduce__ names.  Null with an error set on failure.
PyObject* restore_function(PyObject* module) noexcept;

/// Parses `text`, the UTF-8 text of the str `subnet`, by the prefix
/// grammar into `out`.  False with ValueError "Invalid CIDR '<subnet>':
/// invalid address: <subnet>" when it does not parse.
bool parse_subnet(PyObject* subnet, std::string_view text, IpPrefix& out);

/// `subnet` as a prefix, as every method taking a subnet reads it: a str
/// (TypeError or encoding error with the note 'subnet' otherwise), then the
/// prefix grammar (parse_subnet).  False with the error set.
bool prefix_arg(PyObject* subnet, IpPrefix& out);

/// `ip` as an address, as every method taking an ip reads it: a str (note
/// 'ip' on failure), then the address grammar; ValueError "Invalid IP
/// address: <ip>" when it does not parse.  False with the error set.
bool address_arg(PyObject* ip, IpAddress& out);

}  // namespace netrove::py
