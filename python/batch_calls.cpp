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
#include "packed.hpp"
#include "answers.hpp"
#include "record_objects.hpp"
#include "ref.hpp"
#include "sync/scratch.hpp"
#include "thread_exit.hpp"
#include "unlocked.hpp"

namespace netrove::py {

namespace {

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
  Ref it(calling_python([&] { return PyObject_GetIter(iterable); }));
  if (!it) {
    add_param_note(param);
    return false;
  }
  for (Py_ssize_t i = 0;; ++i) {
    Ref item(calling_python([&] { return PyIter_Next(it.get()); }));
    if (!item) return !PyErr_Occurred();
    if (!each(i, item.get())) return false;
  }
}

/// Room to reserve for the items of `iterable` when it tells its length
/// (a hint only, so capped: a wrong one must not allocate the machine).
Py_ssize_t expected_items(PyObject* iterable) {
  constexpr Py_ssize_t kMostReserved = Py_ssize_t{1} << 22;
  const Py_ssize_t n = calling_python([&] { return PyObject_LengthHint(iterable, 0); });
  if (n < 0) PyErr_Clear();  // iterate and see
  return n < 0 ? 0 : std::min(n, kMostReserved);
}

/// The addresses of a batch as its elements gave them, copied out under
/// the interpreter lock so that the texts can be parsed without it:
///
///   element  "10.1.2.3"  IPv4Address  "::1"   ...
///   bytes    "10.1.2.3"               "::1"         (all texts, back to back)
///   ends          8           8         11          (end offset of each text;
///                                                    an object's is empty)
///   given                 (1, 10.0.0.7)             (the objects' addresses,
///                                                    by element, in order)
struct Texts {
  std::string bytes;
  std::vector<std::size_t> ends;
  std::vector<std::pair<std::size_t, IpAddress>> given;

  std::size_t size() const noexcept { return ends.size(); }
  std::string_view at(std::size_t i) const noexcept {
    const std::size_t begin = i ? ends[i - 1] : 0;
    return std::string_view(bytes).substr(begin, ends[i] - begin);
  }
};

/// Parses texts[0..n) into `out` (which has room for n), the elements given
/// as objects taken as they are; returns the index of the first text the
/// address grammar rejects, or n.
std::size_t parse_texts(const Texts& texts, std::size_t n, IpAddress* out) {
  auto given = texts.given.begin();
  for (std::size_t i = 0; i < n; ++i) {
    if (given != texts.given.end() && given->first == i) {
      out[i] = (given++)->second;
      continue;
    }
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

/// Phase 1 of the lookup batches: the text of every str element, the
/// address of every address object or packed bytes.  An element that is
/// neither (or a str that cannot be encoded) fails with lookup's error and
/// the element note, unless an earlier text is not an address: that one is
/// the first bad element, and its error is raised instead.
bool texts_of(PyObject* ips, Texts& out) {
  const auto n = static_cast<std::size_t>(expected_items(ips));
  out.ends.reserve(n);
  out.bytes.reserve(n * 16);
  return for_each_item(ips, "ips", [&](Py_ssize_t i, PyObject* ip) {
    std::string_view text;
    if (PyUnicode_Check(ip) && text_arg(ip, "ip", text)) {
      out.bytes.append(text);
      out.ends.push_back(out.bytes.size());
      return true;
    }
    if (!PyErr_Occurred() && address_arg(ip, out.given.emplace_back(out.size(), IpAddress{}).second)) {
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

/// Addresses per chunk of a packed batch: read out of the buffer into a
/// buffer of this many on the stack, looked up, then the next.
constexpr std::size_t kPackedChunk = 1024;

/// Phases 1 and 2 of every lookup batch.  `ips` is texts (`family` 0) or a
/// packed buffer (`family` 4 or 6).  With the lock, prepare(n) once n is
/// known; then, without it, run(addresses, m, base) over the addresses
/// [base, base + m): the texts all parsed first (a bad one must stop the
/// batch before anything is counted), packed rows a chunk at a time.
/// False with the error set when `ips` or an element is bad (nothing looked
/// up).
template <class Prepare, class Run>
bool run_batch(PyObject* ips, int family, Prepare&& prepare, Run&& run) {
  if (family) {
    PackedAddresses packed;
    if (!packed.open(ips, family)) return false;
    const std::size_t n = packed.size();
    prepare(n);
    Unlocked unlocked;  // ends before `packed` gives its buffer back
    IpAddress chunk[kPackedChunk];
    for (std::size_t base = 0; base < n; base += kPackedChunk) {
      const std::size_t m = std::min(kPackedChunk, n - base);
      packed.read(base, m, chunk);
      run(static_cast<const IpAddress*>(chunk), m, base);
    }
    return true;
  }
  Texts texts;
  if (!texts_of(ips, texts)) return false;
  const std::size_t n = texts.size();
  prepare(n);
  if (!n) return true;
  std::vector<IpAddress> addresses(n);
  std::size_t bad;
  {
    Unlocked unlocked;
    bad = parse_texts(texts, n, addresses.data());
    if (bad == n) run(static_cast<const IpAddress*>(addresses.data()), n, std::size_t{0});
  }
  if (bad == n) return true;
  raise_bad_address(texts, bad);
  return false;
}

/// The answers of an unlocked lookup batch.  In the read section each
/// found record gives the objects hung on it (record_objects.hpp), or,
/// when it has none yet, a share of it; once the lock is back, complete()
/// builds the missing objects.  The objects stay alive through the
/// BatchGuard the caller holds from before the lock is released until the
/// answers are built.
class LentAnswers {
 public:
  void resize(std::size_t n) {
    found_.reset(new bool[n]());
    objects_.assign(n, nullptr);
  }
  /// Looks up a[0..m) as answers [base, base + m).  Without the lock.
  void look_up(const Engine& engine, const IpAddress* a, std::size_t m, std::size_t base) {
    bool failed = false;
    lookup_many_with(engine, a, m, found_.get() + base, [&](std::size_t j, const RecordView& r) noexcept {
      if (const RecordObjects* o = hung_objects(r.stored())) {
        objects_[base + j] = o;
        return;
      }
      try {
        bare_.emplace_back(base + j, RecordRef::share(r));
      } catch (...) {
        failed = true;
      }
    });
    if (failed) throw std::bad_alloc();
  }
  /// Builds the objects of the records that had none.  With the lock;
  /// false with the error set.
  bool complete() {
    for (auto& [i, record] : bare_)
      if (!(objects_[i] = objects_of(record.view()))) return false;
    return true;
  }
  std::size_t size() const noexcept { return objects_.size(); }
  /// The objects of answer i, null for no match.
  const RecordObjects* at(std::size_t i) const noexcept { return objects_[i]; }

 private:
  std::unique_ptr<bool[]> found_;
  std::vector<const RecordObjects*> objects_;
  std::vector<std::pair<std::size_t, HeldRecord>> bare_;
};

/// lookup_many and lookup_values: the lent answers of `ips`, then a list of
/// answer(objects) per match and None per miss.  The objects of a large
/// table sit all over the heap, so the loop loads ahead of itself: the
/// RecordObjects kAhead answers on, and what `prefetch` names of it (the
/// lines answer() will touch) half as far on, by when it has arrived.
template <class Answer, class Prefetch>
PyObject* lent_list(const Engine& engine, PyObject* ips, PyObject* family_arg_obj, Answer&& answer,
                    Prefetch&& prefetch) {
  constexpr std::size_t kAhead = 16;
  int family;
  if (!family_arg(family_arg_obj, family)) return nullptr;
  BatchGuard guard;
  LentAnswers lent;
  const bool ok = run_batch(
      ips, family, [&](std::size_t n) { lent.resize(n); },
      [&](const IpAddress* a, std::size_t m, std::size_t base) { lent.look_up(engine, a, m, base); });
  if (!ok || !lent.complete()) return nullptr;
  const std::size_t n = lent.size();
  return list_of(n, [&](std::size_t i) -> PyObject* {
    if (i + kAhead < n)
      if (const RecordObjects* ahead = lent.at(i + kAhead)) __builtin_prefetch(ahead);
    if (i + kAhead / 2 < n)
      if (const RecordObjects* ahead = lent.at(i + kAhead / 2)) prefetch(*ahead);
    if (const RecordObjects* o = lent.at(i)) return answer(*o);
    Py_RETURN_NONE;
  });
}

/// Loads ahead of insert_many's conversion of a list or tuple of pairs.
/// A table's pairs sit all over the heap, and so do their dicts' memo
/// entries, so each element would wait for four cache misses in turn.
/// Instead, at element i, the loop starts the loads of later elements, one
/// step each, every step using what the step before brought in:
///
///   i + 24: the pair tuple
///   i + 16: its subnet str, its dict, the dict's memo slot
///   i +  8: the memo entry that slot names
///
/// Each step reads the sequence and the pair as they are now (code run by
/// a conversion may change a list), and only prefetches what it finds.
class PairLookahead {
 public:
  PairLookahead(PyObject* items, const InsertMemo& memo) noexcept
      : items_(PyList_CheckExact(items) || PyTuple_CheckExact(items) ? items : nullptr), memo_(memo) {}

  void before(Py_ssize_t i) const noexcept {
    if (!items_) return;
    if (PyObject* pair = item(i + 24)) __builtin_prefetch(pair);
    if (PyObject* pair = pair_at(i + 16)) {
      __builtin_prefetch(PyTuple_GET_ITEM(pair, 0));
      __builtin_prefetch(PyTuple_GET_ITEM(pair, 1));
      memo_.prefetch_slot(PyTuple_GET_ITEM(pair, 1));
    }
    if (PyObject* pair = pair_at(i + 8)) memo_.prefetch_entry(PyTuple_GET_ITEM(pair, 1));
  }

 private:
  PyObject* item(Py_ssize_t i) const noexcept {
    if (PyList_CheckExact(items_)) return i < PyList_GET_SIZE(items_) ? PyList_GET_ITEM(items_, i) : nullptr;
    return i < PyTuple_GET_SIZE(items_) ? PyTuple_GET_ITEM(items_, i) : nullptr;
  }
  /// Item i when it is a tuple of two, else null.
  PyObject* pair_at(Py_ssize_t i) const noexcept {
    PyObject* pair = item(i);
    return pair && PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2 ? pair : nullptr;
  }

  PyObject* items_;  // null: not a list or tuple, nothing to look ahead in
  const InsertMemo& memo_;
};

/// Phase 1 of insert_many for one element: a (subnet, metadata) pair,
/// converted with `memo` (insert_args).  Both halves are held
/// while converted: converting the subnet may run code that empties a list
/// pair and would free the metadata dict under us.
bool pair_of(PyObject* item, IpPrefix& prefix, RecordRef& record, InsertMemo& memo) {
  Ref pair(calling_python([&] { return PySequence_Fast(item, ""); }));
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
  Ref subnet(Py_NewRef(both[0])), metadata(Py_NewRef(both[1]));
  return insert_args(subnet.get(), metadata.get(), prefix, record, &memo);
}

}  // namespace

PyObject* lookup_many_impl(const Engine& engine, PyObject* ips, PyObject* family) {
  return lent_list(
      engine, ips, family, [](const RecordObjects& o) { return new_answer(o); },
      [](const RecordObjects& o) { prefetch_answer(o); });
}

PyObject* lookup_values_impl(const Engine& engine, PyObject* ips, PyObject* family) {
  return lent_list(
      engine, ips, family, [](const RecordObjects& o) { return Py_NewRef(o.value); },
      [](const RecordObjects& o) { __builtin_prefetch(o.value, 1); });
}

PyObject* contains_many_impl(const Engine& engine, PyObject* ips, PyObject* family_obj) {
  int family;
  if (!family_arg(family_obj, family)) return nullptr;
  std::unique_ptr<bool[]> found;
  std::size_t count = 0;
  const bool ok = run_batch(
      ips, family,
      [&](std::size_t n) {
        found.reset(new bool[n]());
        count = n;
      },
      [&](const IpAddress* a, std::size_t m, std::size_t base) { contains_many(engine, a, m, found.get() + base); });
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
  } else if (Ref keys(calling_python([&] { return PyObject_GetAttrString(items, "keys"); })); keys) {
    pairs = Ref(calling_python([&] { return PyMapping_Items(items); }));
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
  // Records are remembered per metadata dict, as long as the dict holds
  // what they were made from (insert_memo.hpp).  The memo lends them: it is
  // made after `records`, so it counts the lent shares before `records` can
  // release any, on every way out; and each element's room is made before
  // it is converted, so that no lent share is held anywhere else.
  const std::unique_ptr<InsertMemo> memo = InsertMemo::make();
  const PairLookahead ahead(pairs.get(), *memo);
  const bool converted = for_each_item(pairs.get(), "items", [&](Py_ssize_t i, PyObject* item) {
    ahead.before(i);
    prefixes.emplace_back();
    records.emplace_back();
    if (!pair_of(item, prefixes.back(), records.back(), *memo)) {
      prefixes.pop_back();
      records.pop_back();
      add_element_note(i, "items");
      return false;
    }
    return true;
  });
  memo->finish();
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
