// Packed addresses: the batch calls' second form of `ips`, any object with
// the buffer protocol read in place, with `family=4` or `family=6`.
//
//   family=4, item size 4: integers, the address's number in the buffer's
//             byte order (native unless the format says '>' or '!'), as
//             int(IPv4Address(...)), numpy.uint32 and array('I') hold it
//               [ 0x0A010203 ][ 0xC0000201 ] ...      10.1.2.3, 192.0.2.1
//   family=4, item size 1: 4-byte big-endian rows, as IPv4Address.packed
//               [0A 01 02 03][C0 00 02 01] ...
//   family=6, item size 16 or 1: 16-byte big-endian rows, as
//             IPv6Address.packed
//
// Every row is an address, so a packed batch has no bad element; a buffer
// of the wrong shape is refused whole before anything is looked up.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "netrove/types.hpp"

namespace netrove::py {

/// A packed batch: the exported buffer (released on destruction, which
/// needs the interpreter lock) and how its rows read.  Rows are read
/// without the interpreter lock; the export keeps the memory in place.
class PackedAddresses {
 public:
  PackedAddresses() noexcept = default;
  ~PackedAddresses();
  PackedAddresses(const PackedAddresses&) = delete;
  PackedAddresses& operator=(const PackedAddresses&) = delete;

  /// Exports `ips` for `family` (4 or 6, checked by the caller).  False with
  /// the error set, the note "while processing 'ips'" added: TypeError for
  /// an object without the buffer protocol or a 4-byte item that is not an
  /// integer; ValueError for a buffer that is not C-contiguous, an item size
  /// the family does not take, or a length that is not whole rows.
  bool open(PyObject* ips, int family) noexcept;

  /// Number of addresses.
  std::size_t size() const noexcept { return n_; }
  /// Writes addresses [base, base + m) to out[0..m).  No interpreter lock
  /// needed.
  void read(std::size_t base, std::size_t m, IpAddress* out) const noexcept;

 private:
  enum class Rows { v4_little, v4_big, v6_big };
  Py_buffer view_{};
  bool open_ = false;
  const unsigned char* data_ = nullptr;
  std::size_t n_ = 0;
  Rows rows_ = Rows::v4_big;
};

/// The `family` argument of a batch call: 0 when absent or None (texts),
/// else 4 or 6.  False with TypeError (not an int) or ValueError (another
/// number) set, with the note "while processing 'family'".
bool family_arg(PyObject* family, int& out) noexcept;

}  // namespace netrove::py
