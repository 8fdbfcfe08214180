// A hash of an object's address, for tables keyed by object identity.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace netrove::py {

/// Objects are 16-byte aligned: drop the zero bits, then spread the rest
/// with a multiplicative hash and keep the product's high half (its
/// well-mixed bits).
inline std::uint32_t object_hash(const PyObject* o) noexcept {
  return static_cast<std::uint32_t>(((reinterpret_cast<std::uintptr_t>(o) >> 4) * 0x9e3779b97f4a7c15ull) >> 32);
}

}  // namespace netrove::py
