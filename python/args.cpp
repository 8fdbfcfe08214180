// Keyword-argument binding in the interpreter's own wording, and the text
// conversions shared by the methods.
//
// Binding order (the interpreter's, kept so that each call reports the same
// error a built-in function would):
//   1. No keywords and an acceptable positional count: take the arguments.
//   2. More arguments in all than parameters: "takes at most N argument(s)
//      (M given)", "keyword argument(s)" when none were positional.
//   3. More positional arguments than parameters: "takes at most/exactly N
//      positional argument(s) (M given)".
//   4. Fill the remaining parameters from the keywords in parameter order; a
//      required one absent: "missing required argument 'x' (pos i)".  Once
//      every keyword is used, optional parameters are left empty.
//   5. Keywords left over: one that repeats a positional parameter is
//      "argument for f() given by name ('x') and position (i)"; else the
//      first unknown one is "'k' is an invalid keyword argument for f()".
#include "args.hpp"

#include "convert.hpp"
#include "insert_memo.hpp"
#include "insert_record.hpp"
#include "keys.hpp"
#include "netrove/text.hpp"
#include "recent_records.hpp"
#include "ref.hpp"

namespace netrove::py {

Strings strings{};

bool init_strings() noexcept {
  if (strings.read) return true;
  struct Entry {
    PyObject** slot;
    const char* text;
  };
  const Entry entries[] = {
      {&strings.subnet, "subnet"},   {&strings.metadata, "metadata"},     {&strings.ip, "ip"},
      {&strings.variant, "variant"}, {&strings.value, "value"},           {&strings.attributes, "attributes"},
      {&strings.add_note, "add_note"}, {&strings.size, "size"},           {&strings.inserts, "inserts"},
      {&strings.lookups, "lookups"}, {&strings.hits, "hits"},             {&strings.misses, "misses"},
      {&strings.removals, "removals"}, {&strings.ips, "ips"},            {&strings.items, "items"},
      {&strings.family, "family"},   {&strings.source, "source"},         {&strings.format, "format"},
      {&strings.network, "network"}, {&strings.start, "start"},           {&strings.end, "end"},
      {&strings.progress, "progress"}, {&strings.read, "read"},       {&strings.path, "path"},
  };
  for (const Entry& e : entries) {
    if (*e.slot) continue;
    *e.slot = PyUnicode_InternFromString(e.text);
    if (!*e.slot) return false;
  }
  return true;
}

namespace {

// The keyword source of one call: a kwnames tuple with its values after the
// positional arguments (vectorcall), or a dict (tp_new).
struct Keywords {
  PyObject* names = nullptr;            // tuple, or null
  PyObject* const* values = nullptr;    // values of `names`
  PyObject* dict = nullptr;             // dict, or null

  Py_ssize_t count() const noexcept {
    if (names) return PyTuple_GET_SIZE(names);
    if (dict) return PyDict_GET_SIZE(dict);
    return 0;
  }

  // The argument passed by the name `key`, or null.  An error can only come
  // from a dict whose keys compare with side effects; *failed reports it.
  PyObject* find(PyObject* key, bool* failed) const noexcept {
    *failed = false;
    if (dict) {
      PyObject* v = PyDict_GetItemWithError(dict, key);
      if (!v && PyErr_Occurred()) *failed = true;
      return v;
    }
    if (!names) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < n; ++i) {  // interned names usually match by identity
      if (PyTuple_GET_ITEM(names, i) == key) return values[i];
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* k = PyTuple_GET_ITEM(names, i);
      if (PyUnicode_Check(k) && PyUnicode_Compare(k, key) == 0) return values[i];
    }
    return nullptr;
  }

  // The i-th keyword name, for the unknown-keyword scan.
  bool next(Py_ssize_t* pos, PyObject** key) const noexcept {
    if (dict) return PyDict_Next(dict, pos, key, nullptr) != 0;
    if (!names || *pos >= PyTuple_GET_SIZE(names)) return false;
    *key = PyTuple_GET_ITEM(names, *pos);
    ++*pos;
    return true;
  }
};

bool known_name(const Params& p, PyObject* key) noexcept {
  for (int i = 0; i < p.count; ++i) {
    PyObject* name = *p.names[i];
    if (name == key || PyUnicode_Compare(name, key) == 0) return true;
  }
  return false;
}

void raise_unexpected_keyword(const Params& p, const Keywords& kw) noexcept {
  Py_ssize_t pos = 0;
  PyObject* key;
  while (kw.next(&pos, &key)) {
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return;
    }
    if (!known_name(p, key)) {
      PyErr_Format(PyExc_TypeError, "'%S' is an invalid keyword argument for %s()", key, p.fname);
      return;
    }
  }
  PyErr_Format(PyExc_TypeError, "invalid keyword argument for %s()", p.fname);
}

bool bind_impl(const Params& p, PyObject* const* args, Py_ssize_t nargs, const Keywords& kw,
               PyObject** out) noexcept {
  Py_ssize_t nkw = kw.count();
  const int maxargs = p.count, maxpos = p.max_positional(), minpos = p.required;
  for (int i = 0; i < p.count; ++i) out[i] = nullptr;

  // 1.
  if (nkw == 0 && minpos <= nargs && nargs <= maxpos) {
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    return true;
  }
  // 2.
  if (nargs + nkw > maxargs) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %d %sargument%s (%zd given)", p.fname, maxargs,
                 nargs == 0 ? "keyword " : "", maxargs == 1 ? "" : "s", nargs + nkw);
    return false;
  }
  // 3.
  if (nargs > maxpos) {
    if (maxpos == 0) {
      PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", p.fname);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes %s %d positional argument%s (%zd given)", p.fname,
                   minpos < maxpos ? "at most" : "exactly", maxpos, maxpos == 1 ? "" : "s", nargs);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  // 4.
  for (int i = static_cast<int>(nargs); i < maxargs; ++i) {
    PyObject* arg = nullptr;
    if (nkw) {
      bool failed;
      arg = kw.find(*p.names[i], &failed);
      if (failed) return false;
    } else if (i >= minpos) {
      break;
    }
    out[i] = arg;
    if (arg) {
      --nkw;
    } else if (i < minpos) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%U' (pos %d)", p.fname, *p.names[i], i + 1);
      return false;
    }
  }
  // 5.
  if (nkw > 0) {
    for (Py_ssize_t i = 0; i < nargs; ++i) {
      bool failed;
      if (kw.find(*p.names[i], &failed)) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%U') and position (%d)", p.fname,
                     *p.names[i], static_cast<int>(i + 1));
        return false;
      }
      if (failed) return false;
    }
    raise_unexpected_keyword(p, kw);
    return false;
  }
  return true;
}

}  // namespace

bool bind_general(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** out) noexcept {
  Keywords kw;
  if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
    kw.names = kwnames;
    kw.values = args + nargs;
  }
  return bind_impl(p, args, nargs, kw, out);
}

bool bind(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out) noexcept {
  Keywords kw;
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) kw.dict = kwargs;
  return bind_impl(p, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), kw, out);
}

void raise_not_instance(PyObject* obj, const char* expected) noexcept {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  Ref qualname(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), expected);
}

namespace {

// Adds `note` (a new reference, or null after a failed format) to the raised
// exception.
void add_note(PyObject* made) noexcept {
  Ref note(made);
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;
  if (note) {
    Ref done(PyObject_CallMethodOneArg(exc, strings.add_note, note.get()));
    if (done) {
      PyErr_SetRaisedException(exc);
      return;
    }
  }
  // The note could not be added: the original error is the one to report.
  PyErr_Clear();
  PyErr_SetRaisedException(exc);
}

}  // namespace

void add_param_note(const char* param) noexcept { add_note(PyUnicode_FromFormat("while processing '%s'", param)); }

void add_element_note(Py_ssize_t i, const char* param) noexcept {
  add_note(PyUnicode_FromFormat("while processing element %zd of '%s'", i, param));
}

bool utf8_of(PyObject* obj, std::string_view& out) noexcept {
  if (!PyUnicode_Check(obj)) {
    raise_not_instance(obj, "str");
    return false;
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!data) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool text_arg(PyObject* obj, const char* param, std::string_view& out) noexcept {
  if (utf8_of(obj, out)) return true;
  add_param_note(param);
  return false;
}

namespace {

// An address or prefix object converted by keys.hpp, or `none` for a str
// or a type keys.hpp does not take.  A failed conversion keeps its error.
ObjectKey object_arg(PyObject* obj) noexcept { return PyUnicode_Check(obj) ? ObjectKey{} : object_key(obj); }

}  // namespace

bool address_arg(PyObject* ip, IpAddress& out) {
  if (const ObjectKey k = object_arg(ip); k.kind == KeyKind::address) {
    out = k.address;
    return true;
  } else if (k.kind == KeyKind::failed) {
    return false;
  }
  std::string_view text;
  if (!text_arg(ip, "ip", text)) return false;
  if (auto a = parse_address(text)) {
    out = *a;
    return true;
  }
  PyErr_Format(PyExc_ValueError, "Invalid IP address: %U", ip);
  return false;
}

bool parse_subnet(PyObject* subnet, std::string_view text, IpPrefix& out) {
  if (auto p = parse_prefix(text)) {
    out = *p;
    return true;
  }
  PyErr_Format(PyExc_ValueError, "Invalid CIDR '%U': invalid address: %U", subnet, subnet);
  return false;
}

bool prefix_arg(PyObject* subnet, IpPrefix& out) {
  if (const ObjectKey k = object_arg(subnet); k.kind == KeyKind::address || k.kind == KeyKind::prefix) {
    out = prefix_of(k);
    return true;
  } else if (k.kind == KeyKind::failed) {
    return false;
  }
  std::string_view text;
  return text_arg(subnet, "subnet", text) && parse_subnet(subnet, text, out);
}

bool key_arg(PyObject* key, const char* param, Key& out) {
  if (const ObjectKey k = object_arg(key); k.kind == KeyKind::address || k.kind == KeyKind::prefix) {
    out.is_prefix = k.kind == KeyKind::prefix;
    out.address = k.address;
    out.prefix = k.prefix;
    return true;
  } else if (k.kind == KeyKind::failed) {
    return false;
  }
  std::string_view text;
  if (!text_arg(key, param, text)) return false;
  out.is_prefix = text.find('/') != std::string_view::npos;
  if (out.is_prefix) return parse_subnet(key, text, out.prefix);
  if (auto a = parse_address(text)) {
    out.address = *a;
    return true;
  }
  PyErr_Format(PyExc_ValueError, "Invalid IP address: %U", key);
  return false;
}

bool insert_args(PyObject* subnet, PyObject* metadata, IpPrefix& prefix, RecordRef& record, InsertMemo* memo) {
  std::string_view text;
  ObjectKey k;
  if (!ascii_text(subnet, text)) {
    k = object_arg(subnet);
    if (k.kind == KeyKind::failed) return false;
    if (k.kind == KeyKind::none && !text_arg(subnet, "subnet", text)) return false;
  }
  if (!PyDict_Check(metadata)) {
    raise_not_instance(metadata, "dict");
    add_param_note("metadata");
    return false;
  }
  if (k.kind == KeyKind::none) {
    if (!parse_subnet(subnet, text, prefix)) return false;
  } else {
    prefix = prefix_of(k);
  }
  if (memo) {
    if (StoredRecord* known = memo->lend(metadata)) {
      record = RecordRef::adopt(known);
      return true;
    }
  } else if (recent_record(metadata, record)) {
    return true;
  }
  bool pure = true;
  PyObject* attributes = nullptr;
  if (!stored_record_of(metadata, record, &pure, &attributes)) return false;
  if (pure) {
    if (memo) memo->remember(metadata, attributes, record);
    else keep_recent_record(metadata, attributes, record);
  }
  return true;
}

}  // namespace netrove::py
