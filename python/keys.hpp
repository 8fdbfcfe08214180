// Addresses and prefixes given as objects rather than text: the standard
// library's ipaddress objects and packed bytes, taken wherever a text is.
//
//   object                               address          prefix
//   IPv4Address, IPv6Address             itself           its /32 or /128
//   bytes of 4 or 16 (network order)     itself           its /32 or /128
//   IPv4Network, IPv6Network             -                network / length
//   IPv4Interface, IPv6Interface         -                address / length (host bits kept)
//
// The numbers are read from the objects' own fields (`_ip`, `_prefixlen`,
// `network_address`), which costs less than formatting and parsing their
// text; an object without them (another implementation of the module) is
// read through the public `packed` and `prefixlen` instead.  An IPv6
// address with a scope ("fe80::1%eth0") is refused, as its text is.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "netrove/types.hpp"

namespace netrove::py {

/// What an object given as a key converted to.
enum class KeyKind {
  none,     // not an object this file converts (a str, or any other type)
  address,  // an address object or packed bytes
  prefix,   // a network or interface object
  failed,   // a key object whose conversion raised (the error is set)
};

/// An address or a prefix, converted from an object.
struct ObjectKey {
  KeyKind kind = KeyKind::none;
  IpAddress address;  // for KeyKind::address
  IpPrefix prefix;    // for KeyKind::prefix
};

/// Converts `obj` when it is one of the objects above (including subclasses
/// of the ipaddress classes).  `none` for anything else (no error set);
/// `failed` with ValueError "Invalid IP address: <str(obj)>" for a scoped
/// IPv6 address (or "Invalid CIDR ..." for a scoped network), or the error
/// reading a field raised.  Interpreter lock held.
ObjectKey object_key(PyObject* obj) noexcept;

/// The prefix an ObjectKey names: a prefix as is, an address as its /32 or
/// /128.  Precondition: kind is address or prefix.
IpPrefix prefix_of(const ObjectKey& key) noexcept;

}  // namespace netrove::py
