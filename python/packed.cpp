// Reading packed addresses out of a buffer (see packed.hpp).
#include "packed.hpp"

#include <bit>
#include <cstring>
#include <string_view>

#include "args.hpp"
#include "thread_exit.hpp"

namespace netrove::py {

namespace {

// The struct-module codes of the integer types.
bool integer_code(char c) noexcept { return std::string_view("bBhHiIlLqQnN").find(c) != std::string_view::npos; }

// Whether the items of a buffer whose format is `format` are stored big end
// first: a '>' or '!' mark, or native order on a big-endian machine.
bool big_endian_format(const char* format) noexcept {
  if (format && (format[0] == '>' || format[0] == '!')) return true;
  if (format && format[0] == '<') return false;
  return std::endian::native == std::endian::big;
}

// The type code after a byte-order mark, or 0 for a format of several
// items ("2H") or none.
char type_code(const char* format) noexcept {
  if (!format) return 'B';
  if (*format && std::string_view("@=<>!").find(*format) != std::string_view::npos) ++format;
  return format[0] && !format[1] ? format[0] : 0;
}

}  // namespace

PackedAddresses::~PackedAddresses() {
  if (open_) PyBuffer_Release(&view_);
}

bool PackedAddresses::open(PyObject* ips, int family) noexcept {
  auto fail = [](PyObject* type, const char* fmt, auto... args) {
    PyErr_Format(type, fmt, args...);
    add_param_note("ips");
    return false;
  };
  if (!PyObject_CheckBuffer(ips))
    return fail(PyExc_TypeError, "family=%d takes an object with the buffer protocol, not '%.200s'", family,
                Py_TYPE(ips)->tp_name);
  if (calling_python([&] { return PyObject_GetBuffer(ips, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT); }) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_BufferError)) {
      add_param_note("ips");
      return false;
    }
    PyErr_Clear();
    return fail(PyExc_ValueError, "family=%d takes a C-contiguous buffer", family);
  }
  open_ = true;
  const Py_ssize_t item = view_.itemsize, bytes = view_.len;
  const std::size_t row = family == 4 ? 4 : 16;
  if (family == 4 && item == 4) {
    const char code = type_code(view_.format);
    if (!integer_code(code))
      return fail(PyExc_TypeError, "family=4 takes integer items of 4 bytes, not format '%s'", view_.format);
    rows_ = big_endian_format(view_.format) ? Rows::v4_big : Rows::v4_little;
  } else if (item == 1 || static_cast<std::size_t>(item) == row) {
    rows_ = family == 4 ? Rows::v4_big : Rows::v6_big;
  } else {
    return fail(PyExc_ValueError,
                family == 4 ? "family=4 takes items of 4 bytes (integers) or 1 byte (4-byte rows), not %zd"
                            : "family=6 takes items of 16 bytes or 1 byte (16-byte rows), not %zd",
                item);
  }
  if (static_cast<std::size_t>(bytes) % row != 0)
    return fail(PyExc_ValueError, "family=%d takes whole %zu-byte rows, not %zd bytes", family, row, bytes);
  data_ = static_cast<const unsigned char*>(view_.buf);
  n_ = static_cast<std::size_t>(bytes) / row;
  return true;
}

void PackedAddresses::read(std::size_t base, std::size_t m, IpAddress* out) const noexcept {
  switch (rows_) {
    case Rows::v4_little:
      for (std::size_t i = 0; i < m; ++i) {
        std::uint32_t v;
        std::memcpy(&v, data_ + 4 * (base + i), 4);
        v = __builtin_bswap32(v);  // little-endian: the number's high byte is the first octet
        out[i] = IpAddress{kIpv4, {}};
        std::memcpy(out[i].bytes.data(), &v, 4);
      }
      break;
    case Rows::v4_big:
      for (std::size_t i = 0; i < m; ++i) {
        out[i] = IpAddress{kIpv4, {}};
        std::memcpy(out[i].bytes.data(), data_ + 4 * (base + i), 4);
      }
      break;
    case Rows::v6_big:
      for (std::size_t i = 0; i < m; ++i) {
        out[i].family = kIpv6;
        std::memcpy(out[i].bytes.data(), data_ + 16 * (base + i), 16);
      }
      break;
  }
}

bool family_arg(PyObject* family, int& out) noexcept {
  out = 0;
  if (!family || family == Py_None) return true;
  if (!PyLong_Check(family)) {
    raise_not_instance(family, "int");
    add_param_note("family");
    return false;
  }
  const long f = PyLong_AsLong(family);
  if (f == 4 || f == 6) {
    out = static_cast<int>(f);
    return true;
  }
  // A number too large for a long is as wrong as 5 (not an OverflowError).
  if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
    add_param_note("family");
    return false;
  }
  PyErr_Clear();
  PyErr_Format(PyExc_ValueError, "family must be 4 or 6, not %R", family);
  add_param_note("family");
  return false;
}

}  // namespace netrove::py
