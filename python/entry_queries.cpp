// Entry queries and pickling of RadixEngine (see entry_queries.hpp).  Each
// implementation converts its argument, makes one engine call, which
// returns shares of the stored records taken inside the engine's read
// section, and only then builds the Python objects (answers.hpp).
#include "entry_queries.hpp"

#include <string>
#include <utility>
#include <vector>

#include "answers.hpp"
#include "args.hpp"
#include "convert.hpp"
#include "insert_record.hpp"
#include "store/hybrid_engine.hpp"
#include "sync/panic.hpp"
#include "netrove/text.hpp"
#include "radix_engine.hpp"
#include "ref.hpp"
#include "snapshot.hpp"
#include "thread_exit.hpp"

namespace netrove::py {

namespace {

constexpr const char kBadState[] = "RadixEngine state must be a list of (prefix, metadata) pairs";

// The enumerating side of `engine`; every engine the module builds has one.
const EntryReader& reader_of(const Engine& engine) {
  const auto* r = dynamic_cast<const EntryReader*>(&engine);
  if (!r) panic("the engine enumerates no entries");
  return *r;
}

// The text of a stored prefix: "10.0.0.0/8".
PyObject* prefix_text(const IpPrefix& p) noexcept {
  const std::string text = prefix_field(p);
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

// A new list of item(entry) for every entry, in order.
template <class Item>
PyObject* list_for(const std::vector<Entry>& entries, Item&& item) noexcept {
  return list_of(entries.size(), [&](std::size_t i) { return item(entries[i]); });
}

// A new (prefix, dict) tuple for `entry`.
PyObject* entry_tuple(const Entry& entry) noexcept {
  Ref prefix(prefix_text(entry.prefix));
  if (!prefix) return nullptr;
  Ref record(answer_of(entry.record.view()));
  if (!record) return nullptr;
  return PyTuple_Pack(2, prefix.get(), record.get());
}

// A new list of (prefix, dict) tuples, in the order of `entries`.
PyObject* entry_list(const std::vector<Entry>& entries) noexcept { return list_for(entries, entry_tuple); }

// The constructor argument that builds `variant` again.
PyObject* variant_arg(Variant variant) noexcept {
  switch (variant) {
    case Variant::standard: return PyUnicode_FromString("standard");
    case Variant::lockfree: return PyUnicode_FromString("lockfree");
    case Variant::sharded_trie: return PyUnicode_FromString("adaptive");
    case Variant::none: break;
  }
  Py_RETURN_NONE;
}

// One pair of a pickled state converted as insert converts its arguments:
// the subnet text first, then the metadata dict.
bool state_pair(PyObject* pair, IpPrefix& prefix, RecordRef& record) {
  if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
    PyErr_SetString(PyExc_TypeError, kBadState);
    return false;
  }
  PyObject* metadata = PyTuple_GET_ITEM(pair, 1);
  if (!prefix_arg(PyTuple_GET_ITEM(pair, 0), prefix)) return false;
  if (!PyDict_Check(metadata)) {
    raise_not_instance(metadata, "dict");
    add_param_note("metadata");
    return false;
  }
  return stored_record_of(metadata, record);
}

}  // namespace

std::vector<Entry> covering_key(const Engine& engine, const Key& key, std::size_t limit, bool shorter_only) {
  if (!key.is_prefix) return reader_of(engine).covering(key.address, limit);
  const IpPrefix& p = key.prefix;
  // The entries covering its network address, longest first, less those
  // longer than the key (and with `shorter_only` the key itself).
  std::vector<Entry> found = reader_of(engine).covering(IpAddress{p.family, p.network_address()}, SIZE_MAX);
  std::erase_if(found, [&](const Entry& e) {
    return e.prefix.length > p.length || (shorter_only && e.prefix.length == p.length);
  });
  if (found.size() > limit) found.resize(limit);
  return found;
}

PyObject* match_impl(const Engine& engine, PyObject* ip) {
  Key key;
  if (!key_arg(ip, "ip", key)) return nullptr;
  const std::vector<Entry> found = covering_key(engine, key, 1, false);
  if (found.empty()) Py_RETURN_NONE;
  return entry_tuple(found.front());
}

PyObject* covering_impl(const Engine& engine, PyObject* ip) {
  Key key;
  if (!key_arg(ip, "ip", key)) return nullptr;
  return entry_list(covering_key(engine, key, SIZE_MAX, false));
}

PyObject* parent_impl(const Engine& engine, PyObject* subnet) {
  Key key{true, {}, {}};
  if (!prefix_arg(subnet, key.prefix)) return nullptr;
  const std::vector<Entry> found = covering_key(engine, key, 1, true);
  if (found.empty()) Py_RETURN_NONE;
  return entry_tuple(found.front());
}

PyObject* covered_impl(const Engine& engine, PyObject* subnet) {
  IpPrefix prefix;
  if (!prefix_arg(subnet, prefix)) return nullptr;
  return entry_list(reader_of(engine).covered(prefix));
}

PyObject* get_impl(const Engine& engine, PyObject* subnet) {
  IpPrefix prefix;
  if (!prefix_arg(subnet, prefix)) return nullptr;
  const HeldRecord found = reader_of(engine).exact(prefix);
  if (!found) Py_RETURN_NONE;
  return answer_of(found.view());
}

PyObject* items_impl(const Engine& engine) { return entry_list(reader_of(engine).all()); }

PyObject* keys_impl(const Engine& engine) noexcept {
  const std::vector<Entry> all = reader_of(engine).all();
  return list_for(all, [](const Entry& e) { return prefix_text(e.prefix); });
}

PyObject* values_impl(const Engine& engine) noexcept {
  const std::vector<Entry> all = reader_of(engine).all();
  return list_for(all, [](const Entry& e) { return answer_of(e.record.view()); });
}

PyObject* reduce_impl(PyObject* restore, const Engine& engine, Variant variant) {
  if (dynamic_cast<const HybridEngine*>(&engine)) {
    PyErr_SetString(PyExc_TypeError,
                    "cannot pickle a RadixEngine opened with from_redis: its table lives in Redis "
                    "(pickle items() instead)");
    return nullptr;
  }
  if (!restore) {
    PyErr_SetString(PyExc_TypeError, "cannot pickle a RadixEngine outside the netrove module");
    return nullptr;
  }
  Ref name(variant_arg(variant));
  if (!name) return nullptr;
  Ref entries(snapshot_of(engine));
  if (!entries) return nullptr;
  Ref args(PyTuple_Pack(2, name.get(), entries.get()));
  if (!args) return nullptr;
  return PyTuple_Pack(2, restore, args.get());
}

bool state_entries(PyObject* state, SnapshotContents& out) {
  if (PyBytes_Check(state)) return snapshot_contents(state, out);
  if (!PyList_Check(state) && !PyTuple_Check(state)) {
    PyErr_SetString(PyExc_TypeError, kBadState);
    return false;
  }
  // A tuple copy holds every pair while they are converted, whatever Python
  // code a dict key's __eq__ runs meanwhile.
  Ref pairs(calling_python([state] { return PySequence_Tuple(state); }));
  if (!pairs) return false;
  const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(pairs.get()));
  out.prefixes.resize(n);
  out.records.resize(n);
  for (std::size_t i = 0; i < n; ++i)
    if (!state_pair(PyTuple_GET_ITEM(pairs.get(), static_cast<Py_ssize_t>(i)), out.prefixes[i], out.records[i]))
      return false;
  return true;
}

bool load_entries(Engine& engine, SnapshotContents& entries) {
  if (!dynamic_cast<RecordWriter*>(&engine) && !dynamic_cast<EntryLoader*>(&engine)) {
    PyErr_SetString(PyExc_TypeError, "this RadixEngine cannot load a pickled state");
    return false;
  }
  return load_contents(engine, entries);
}

}  // namespace netrove::py
