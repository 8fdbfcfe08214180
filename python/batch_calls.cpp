// The batch methods: convert under the interpreter lock, one engine batch
// call without it, results under it again (see batch_calls.hpp).
#include "batch_calls.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "insert_memo.hpp"
#include "netrove/text.hpp"
#include "ref.hpp"
#include "sync/scratch.hpp"

namespace netrove::py {

namespace {

/// Releases the interpreter lock for its lifetime, also when the engine
/// call inside throws (the guard then reports with the lock held again).
class Unlocked {
 public:
  Unlocked() noexcept : state_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* state_;
};

/// Calls each(i, item) for the items of `iterable` in order, until it
/// returns false.  A list or tuple is read directly (each item held while
/// `each` runs, the length read again every step, so code run by `each`
/// may change a list safely); anything else through its iterator.  Returns
/// false with the error set: not iterable (note '<param>'), the iterator's
/// error, or the error `each` left.
template <class Each>
bool for_each_item(PyObject* iterable, const char* param, Each&& each) {
  if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
    const bool list = PyList_CheckExact(iterable);
    for (Py_ssize_t i = 0;; ++i) {
      if (i >= (list ? PyList_GET_SIZE(iterable) : PyTuple_GET_SIZE(iterable))) return true;
      PyObject* borrowed = list ? PyList_GET_ITEM(iterable, i) : PyTuple_GET_ITEM(iterable, i);
      Ref item((Py_INCREF(borrowed), borrowed));
      if (!each(i, item.get())) return false;
    }
  }
  Ref it(PyObject_GetIter(iterable));
  if (!it) {
    add_param_note(param);
    return false;
  }
  for (Py_ssize_t i = 0;; ++i) {
    Ref item(PyIter_Next(it.get()));
    if (!item) return !PyErr_Occurred();
    if (!each(i, item.get())) return false;
  }
}

/// Room to reserve for the items of `iterable` when it tells its length
/// (a hint only, so capped: a wrong one must not allocate the machine).
Py_ssize_t expected_items(PyObject* iterable) {
  constexpr Py_ssize_t kMostReserved = Py_ssize_t{1} << 22;
  const Py_ssize_t n = PyObject_LengthHint(iterable, 0);
  if (n < 0) PyErr_Clear();  // iterate and see
  return n < 0 ? 0 : std::min(n, kMostReserved);
}

/// The address texts of a batch, copied out under the interpreter lock so
/// that they can be parsed without it:
///
///   bytes  "10.1.2.3" "::1" "192.0.2.7" ...   (all texts, back to back)
///   ends        8       11       20           (end offset of each text)
struct Texts {
  std::string bytes;
  std::vector<std::size_t> ends;

  std::size_t size() const noexcept { return ends.size(); }
  std::string_view at(std::size_t i) const noexcept {
    const std::size_t begin = i ? ends[i - 1] : 0;
    return std::string_view(bytes).substr(begin, ends[i] - begin);
  }
};

/// Parses texts[0..n) into `out` (which has room for n); returns the index
/// of the first text the address grammar rejects, or n.
std::size_t parse_texts(const Texts& texts, std::size_t n, IpAddress* out) {
  for (std::size_t i = 0; i < n; ++i) {
    std::optional<IpAddress> a = parse_address(texts.at(i));
    if (!a) return i;
    out[i] = *a;
  }
  return n;
}

/// Raises lookup's ValueError for text i, with the element note.
void raise_bad_address(const Texts& texts, std::size_t i) {
  const std::string_view t = texts.at(i);
  Ref ip(PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), "replace"));
  if (ip) PyErr_Format(PyExc_ValueError, "Invalid IP address: %U", ip.get());
  add_element_note(static_cast<Py_ssize_t>(i), "ips");
}

/// Phase 1 of lookup_many and contains_many: the text of every element.
/// An element that is not a str (or cannot be encoded) fails with lookup's
/// error and the element note, unless an earlier text is not an address:
/// that one is the first bad element, and its error is raised instead.
bool texts_of(PyObject* ips, Texts& out) {
  const auto n = static_cast<std::size_t>(expected_items(ips));
  out.ends.reserve(n);
  out.bytes.reserve(n * 16);
  return for_each_item(ips, "ips", [&](Py_ssize_t i, PyObject* ip) {
    std::string_view text;
    if (text_arg(ip, "ip", text)) {
      out.bytes.append(text);
      out.ends.push_back(out.bytes.size());
      return true;
    }
    std::vector<IpAddress> scratch(out.size());
    if (const std::size_t bad = parse_texts(out, out.size(), scratch.data()); bad < out.size()) {
      PyErr_Clear();
      raise_bad_address(out, bad);
    } else {
      add_element_note(i, "ips");
    }
    return false;
  });
}

/// Phases 1 and 2 of lookup_many and contains_many: the texts of `ips`,
/// then, without the interpreter lock, their addresses and `batch` over
/// them.  False with the error set when an element is bad (nothing looked
/// up).
template <class Batch>
bool run_addresses(PyObject* ips, Batch&& batch) {
  Texts texts;
  if (!texts_of(ips, texts)) return false;
  const std::size_t n = texts.size();
  if (!n) return true;
  std::vector<IpAddress> addresses(n);
  std::size_t bad;
  {
    Unlocked unlocked;
    bad = parse_texts(texts, n, addresses.data());
    if (bad == n) batch(addresses.data(), n);
  }
  if (bad == n) return true;
  raise_bad_address(texts, bad);
  return false;
}

/// A new list of `n` items, item(i) giving each as a new reference (null
/// with the error set to fail).
template <class Item>
PyObject* list_of(std::size_t n, Item&& item) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* x = item(i);
    if (!x) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), x);
  }
  return list.release();
}

/// Phase 1 of insert_many for one element: a (subnet, metadata) pair,
/// converted with `memo` (insert_args).  Only a tuple or list is read
/// without running Python code; any other pair clears the memo.
bool pair_of(PyObject* item, IpPrefix& prefix, RecordRef& record, InsertMemo& memo) {
  if (!PyTuple_Check(item) && !PyList_Check(item)) memo.clear();
  Ref pair(PySequence_Fast(item, ""));
  if (!pair) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not a (subnet, metadata) pair", Py_TYPE(item)->tp_name);
    return false;
  }
  if (PySequence_Fast_GET_SIZE(pair.get()) != 2) {
    PyErr_Format(PyExc_ValueError, "a (subnet, metadata) pair has 2 elements, not %zd",
                 PySequence_Fast_GET_SIZE(pair.get()));
    return false;
  }
  PyObject** both = PySequence_Fast_ITEMS(pair.get());
  return insert_args(both[0], both[1], prefix, record, &memo);
}

}  // namespace

PyObject* lookup_many_impl(const Engine& engine, PyObject* ips) {
  std::vector<HeldRecord> held;
  const bool ok = run_addresses(ips, [&](const IpAddress* addresses, std::size_t n) {
    held.resize(n);
    lookup_many(engine, addresses, n, held.data());
  });
  if (!ok) return nullptr;
  return list_of(held.size(), [&](std::size_t i) -> PyObject* {
    if (held[i]) return metadata_to_dict(held[i].view());
    Py_RETURN_NONE;
  });
}

PyObject* contains_many_impl(const Engine& engine, PyObject* ips) {
  std::unique_ptr<bool[]> found;
  std::size_t count = 0;
  const bool ok = run_addresses(ips, [&](const IpAddress* addresses, std::size_t n) {
    found.reset(new bool[n]());
    count = n;
    contains_many(engine, addresses, n, found.get());
  });
  if (!ok) return nullptr;
  return list_of(count, [&](std::size_t i) { return PyBool_FromLong(found[i]); });
}

PyObject* insert_many_impl(Engine& engine, PyObject* items) {
  // A mapping is read through a snapshot of its items, so that nothing run
  // while converting can change what is being iterated.
  // Like dict.update, anything with a keys() method is a mapping.
  Ref pairs;
  if (PyDict_Check(items)) {
    pairs = Ref(PyDict_Items(items));
  } else if (Ref keys(PyObject_GetAttrString(items, "keys")); keys) {
    pairs = Ref(PyMapping_Items(items));
  } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    Py_INCREF(items);
    pairs = Ref(items);
  }
  if (!pairs) return nullptr;
  // Tens of megabytes for a whole table, given back when the call ends.
  ScratchVector<IpPrefix> prefixes;
  ScratchVector<RecordRef> records;
  const auto expected = static_cast<std::size_t>(expected_items(pairs.get()));
  prefixes.reserve(expected);
  records.reserve(expected);
  // Records are remembered per metadata dict while no Python code can run
  // between elements: a list or tuple is read directly; any other
  // iterable runs its next() before each element, which clears the memo.
  InsertMemo memo;
  const bool direct = PyList_CheckExact(pairs.get()) || PyTuple_CheckExact(pairs.get());
  const bool converted = for_each_item(pairs.get(), "items", [&](Py_ssize_t i, PyObject* item) {
    if (!direct) memo.clear();
    IpPrefix p;
    RecordRef m;
    if (!pair_of(item, p, m, memo)) {
      add_element_note(i, "items");
      return false;
    }
    prefixes.push_back(p);
    records.push_back(std::move(m));
    return true;
  });
  memo.clear();
  if (!converted) return nullptr;
  std::size_t done = 0;
  InsertResult r;
  if (!prefixes.empty()) {
    Unlocked unlocked;
    r = insert_records(engine, prefixes.data(), records.data(), prefixes.size(), &done);
  }
  if (!r.ok()) {
    raise_text(PyExc_ValueError, r.error->message);
    add_element_note(static_cast<Py_ssize_t>(done), "items");
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace netrove::py
