// Keys given as ipaddress objects or packed bytes (see keys.hpp).
#include "keys.hpp"

#include <cstring>
#include <iterator>

#include <structmember.h>

#include "ref.hpp"
#include "thread_exit.hpp"

namespace netrove::py {

namespace {

// The ipaddress classes, imported on the first key that is not a str, and
// the field names read from their instances.  Interpreter lock held.
struct IpAddressModule {
  bool tried = false;
  PyObject* v4_address = nullptr;
  PyObject* v6_address = nullptr;
  PyObject* v4_network = nullptr;
  PyObject* v6_network = nullptr;
  PyObject* v4_interface = nullptr;
  PyObject* v6_interface = nullptr;
  PyObject* ip = nullptr;               // "_ip"
  PyObject* prefixlen = nullptr;        // "_prefixlen"
  PyObject* scope_id = nullptr;         // "_scope_id"
  PyObject* network_address = nullptr;  // "network_address"
  PyObject* packed = nullptr;           // "packed", the public fallback of _ip
  PyObject* public_prefixlen = nullptr; // "prefixlen"
};
IpAddressModule m;

// The slot offsets of `_ip` (both address classes) and `_scope_id`
// (IPv6Address), read from the classes' member descriptors: an instance of
// exactly such a class keeps the field at that offset, so reading it costs
// a load instead of an attribute lookup.  0 when a class does not have the
// member (another implementation of the module).
struct Slots {
  Py_ssize_t v4_ip = 0, v6_ip = 0, v6_scope = 0;
};
Slots slots;

Py_ssize_t member_offset(PyObject* type, const char* name) noexcept {
  PyObject* d = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(type)->tp_dict, name);  // borrowed
  if (!d || Py_TYPE(d) != &PyMemberDescr_Type) return 0;
  const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(d)->d_member;
  return member->type == Py_T_OBJECT_EX ? member->offset : 0;
}

// The object in slot `offset` of `obj`, or null (unset, or no such slot).
PyObject* slot_at(PyObject* obj, Py_ssize_t offset) noexcept {
  return offset ? *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset) : nullptr;
}

// Imports the module once; false (no error set) when it cannot be.
bool load() noexcept {
  if (m.tried) return m.ip != nullptr;
  m.tried = true;
  Ref mod(calling_python([] { return PyImport_ImportModule("ipaddress"); }));
  if (!mod) {
    PyErr_Clear();
    return false;
  }
  struct Slot {
    PyObject** into;
    const char* name;
  };
  const Slot classes[] = {{&m.v4_address, "IPv4Address"}, {&m.v6_address, "IPv6Address"},
                          {&m.v4_network, "IPv4Network"}, {&m.v6_network, "IPv6Network"},
                          {&m.v4_interface, "IPv4Interface"}, {&m.v6_interface, "IPv6Interface"}};
  const Slot names[] = {{&m.ip, "_ip"}, {&m.prefixlen, "_prefixlen"}, {&m.scope_id, "_scope_id"},
                        {&m.network_address, "network_address"}, {&m.packed, "packed"},
                        {&m.public_prefixlen, "prefixlen"}};
  for (const Slot& s : names)
    if (!(*s.into = PyUnicode_InternFromString(s.name))) {
      m.ip = nullptr;  // no key is converted
      break;
    }
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  // A program may have replaced a class by something that is not one
  // (None, an instance, a str): that name then converts nothing, and keys
  // of the other classes still do.
  for (const Slot& s : classes) {
    Ref c(calling_python([&] { return PyObject_GetAttrString(mod.get(), s.name); }));
    if (!c) PyErr_Clear();
    else if (PyType_Check(c.get())) *s.into = c.release();
  }
  if (m.v4_address) slots.v4_ip = member_offset(m.v4_address, "_ip");
  if (m.v6_address) {
    slots.v6_ip = member_offset(m.v6_address, "_ip");
    slots.v6_scope = member_offset(m.v6_address, "_scope_id");
  }
  return true;
}

// After reading a field of a key object failed: an OverflowError (a number
// out of range) or AttributeError (no such field) says the object is not a
// usable address, reported as the ValueError "'<type>' object has no
// <what>" (named by its type: its repr would read the same broken fields);
// any other error (the object's own code raised it) stands.  Returns false.
bool no_field(PyObject* obj, const char* what) noexcept {
  PyErr_Format(PyExc_ValueError, "'%.200s' object has no %s", Py_TYPE(obj)->tp_name, what);
  return false;
}
bool bad_field(PyObject* obj, const char* what) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_OverflowError) && !PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
  PyErr_Clear();
  return no_field(obj, what);
}

// The `width` bytes of the address `obj` (an address or interface object)
// in network order: its `_ip` number, or its public `packed`.
bool address_bytes(PyObject* obj, unsigned width, std::uint8_t* out) noexcept {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  PyObject* fast = type == m.v4_address ? slot_at(obj, slots.v4_ip) : type == m.v6_address ? slot_at(obj, slots.v6_ip)
                                                                                           : nullptr;
  Ref number(fast ? Py_NewRef(fast) : calling_python([obj] { return PyObject_GetAttr(obj, m.ip); }));
  if (number && PyLong_Check(number.get()) && width == 4) {
    const unsigned long v = PyLong_AsUnsignedLong(number.get());
    if (v == static_cast<unsigned long>(-1) && PyErr_Occurred()) return bad_field(obj, "IPv4 address number");
    if (v > 0xFFFFFFFFul) return no_field(obj, "IPv4 address number");
    for (unsigned i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    return true;
  }
  if (number && PyLong_Check(number.get())) {
#if PY_VERSION_HEX >= 0x030D0000
    const Py_ssize_t n = PyLong_AsNativeBytes(number.get(), out, static_cast<Py_ssize_t>(width),
                                              Py_ASNATIVEBYTES_BIG_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER |
                                                  Py_ASNATIVEBYTES_REJECT_NEGATIVE);
    if (n >= 0 && n <= static_cast<Py_ssize_t>(width)) return true;
    return n >= 0 ? no_field(obj, "IPv6 address number") : bad_field(obj, "IPv6 address number");
#else
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(number.get()), out, width, 0, 0) == 0) return true;
    return bad_field(obj, "IPv6 address number");
#endif
  }
  if (!number) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
  }
  Ref packed(calling_python([obj] { return PyObject_GetAttr(obj, m.packed); }));
  if (!packed) return bad_field(obj, "packed address");
  if (!PyBytes_Check(packed.get()) || PyBytes_GET_SIZE(packed.get()) != width) {
    return no_field(obj, width == 4 ? "packed address of 4 bytes" : "packed address of 16 bytes");
  }
  std::memcpy(out, PyBytes_AS_STRING(packed.get()), width);
  return true;
}

// The prefix length of a network or interface object.
bool prefix_length(PyObject* obj, unsigned width, std::uint8_t& out) noexcept {
  Ref length(calling_python([obj] { return PyObject_GetAttr(obj, m.prefixlen); }));
  if (!length && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    length = Ref(calling_python([obj] { return PyObject_GetAttr(obj, m.public_prefixlen); }));
  }
  if (!length) return bad_field(obj, "prefix length");
  const long n = PyLong_AsLong(length.get());
  if (n == -1 && PyErr_Occurred()) return bad_field(obj, "prefix length");
  if (n < 0 || n > static_cast<long>(width)) {
    PyErr_Format(PyExc_ValueError, "'%.200s' object has a prefix length outside 0..%u", Py_TYPE(obj)->tp_name, width);
    return false;
  }
  out = static_cast<std::uint8_t>(n);
  return true;
}

// Whether an IPv6 address object carries a scope ("%eth0"): -1 on error.
int scoped(PyObject* obj) noexcept {
  if (reinterpret_cast<PyObject*>(Py_TYPE(obj)) == m.v6_address)
    if (PyObject* scope = slot_at(obj, slots.v6_scope)) return scope != Py_None;
  Ref scope(calling_python([obj] { return PyObject_GetAttr(obj, m.scope_id); }));
  if (!scope) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  return scope.get() != Py_None;
}

ObjectKey failed() noexcept { return ObjectKey{KeyKind::failed, {}, {}}; }

// An address object of `family` (an interface too: its own address).
ObjectKey address_object(PyObject* obj, std::uint8_t family) noexcept {
  ObjectKey k{KeyKind::address, {}, {}};
  k.address.family = family;
  if (!address_bytes(obj, family == kIpv4 ? 4 : 16, k.address.bytes.data())) return failed();
  if (family == kIpv6) {
    const int s = scoped(obj);
    if (s < 0) return failed();
    if (s) {
      PyErr_Format(PyExc_ValueError, "Invalid IP address: %S", obj);
      return failed();
    }
  }
  return k;
}

// A network (its network address) or an interface (its own address), and
// the length.
ObjectKey prefix_object(PyObject* obj, std::uint8_t family, bool network) noexcept {
  const unsigned width = family == kIpv4 ? 32 : 128;
  ObjectKey k{KeyKind::prefix, {}, {}};
  k.prefix.family = family;
  Ref base(network ? calling_python([obj] { return PyObject_GetAttr(obj, m.network_address); }) : Py_NewRef(obj));
  if (!base) {
    bad_field(obj, "network address");
    return failed();
  }
  ObjectKey a = address_object(base.get(), family);
  if (a.kind != KeyKind::address) {
    if (PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "Invalid CIDR '%S': invalid address: %S", obj, obj);
    }
    return failed();
  }
  k.prefix.address = a.address.bytes;
  if (!prefix_length(obj, width, k.prefix.length)) return failed();
  return k;
}

}  // namespace

ObjectKey object_key(PyObject* obj) noexcept {
  if (PyUnicode_Check(obj)) return {};
  if (PyBytes_Check(obj)) {
    const Py_ssize_t n = PyBytes_GET_SIZE(obj);
    if (n != 4 && n != 16) return {};
    ObjectKey k{KeyKind::address, {}, {}};
    k.address.family = n == 4 ? kIpv4 : kIpv6;
    std::memcpy(k.address.bytes.data(), PyBytes_AS_STRING(obj), static_cast<std::size_t>(n));
    return k;
  }
  if (!load()) return {};
  // The six classes by exact type first (the common case, addresses the
  // most common), then by isinstance with interfaces before addresses
  // (they are address subclasses).
  struct Class {
    PyObject* type;
    std::uint8_t family;
    enum { address, network, interface } shape;
  };
  const Class classes[] = {{m.v4_interface, kIpv4, Class::interface}, {m.v6_interface, kIpv6, Class::interface},
                           {m.v4_network, kIpv4, Class::network},     {m.v6_network, kIpv6, Class::network},
                           {m.v4_address, kIpv4, Class::address},     {m.v6_address, kIpv6, Class::address}};
  auto convert = [obj](const Class& c) {
    return c.shape == Class::address ? address_object(obj, c.family)
                                     : prefix_object(obj, c.family, c.shape == Class::network);
  };
  for (std::size_t i = std::size(classes); i-- > 0;)
    if (classes[i].type && reinterpret_cast<PyObject*>(Py_TYPE(obj)) == classes[i].type) return convert(classes[i]);
  for (const Class& c : classes) {
    if (!c.type) continue;
    const int r = calling_python([&] { return PyObject_IsInstance(obj, c.type); });
    if (r < 0) return failed();
    if (r) return convert(c);
  }
  return {};
}

IpPrefix prefix_of(const ObjectKey& key) noexcept {
  if (key.kind == KeyKind::prefix) return key.prefix;
  IpPrefix p;
  p.family = key.address.family;
  p.address = key.address.bytes;
  p.length = static_cast<std::uint8_t>(key.address.family == kIpv4 ? 32 : 128);
  return p;
}

}  // namespace netrove::py
