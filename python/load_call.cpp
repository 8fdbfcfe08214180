// RadixEngine.load (see load_call.hpp).
//
//   convert arguments (lock held)
//        |
//   Unlocked: read_table ---- file object: Relocked read(n) per MiB
//        |                \-- every ~200 ms: Relocked signals + progress()
//        |     store_table (one bulk load)
//   lock back: a Python error raised in a callback is raised again; a
//   LoadError becomes ValueError or OSError
//
// A callback's Python error stops the load by a C++ exception (Raised)
// that unwinds read_table, so nothing is stored.
#include "load_call.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "netrove/load.hpp"
#include "paths.hpp"
#include "record_objects.hpp"
#include "ref.hpp"
#include "thread_exit.hpp"
#include "unlocked.hpp"

namespace netrove::py {

namespace {

/// Thrown from a callback whose Python code raised; the error is kept in
/// Callbacks::raised.
struct Raised {};

/// What the unlocked load calls back into Python for.
struct Callbacks {
  Unlocked* unlocked = nullptr;
  PyObject* progress = nullptr;  // callable, or null
  Ref raised;                    // the exception a callback raised

  /// Keeps the raised exception and stops the load.  Lock held.
  [[noreturn]] void stop() {
    raised = Ref(PyErr_GetRaisedException());
    throw Raised{};
  }
};

/// A binary file object read through its read(n).
class FileObjectInput final : public LoadInput {
 public:
  /// Lock held (asks the file its size).
  FileObjectInput(PyObject* file, Callbacks& calls) : file_(file), calls_(calls) { size_ = size_of(file); }

  std::size_t read(char* buffer, std::size_t n) override {
    Relocked lock(*calls_.unlocked);
    Ref count(PyLong_FromSize_t(n));
    if (!count) calls_.stop();
    Ref got(calling_python([&] { return PyObject_CallMethodOneArg(file_, strings.read, count.get()); }));
    if (!got) calls_.stop();
    if (PyUnicode_Check(got.get())) {
      PyErr_SetString(PyExc_TypeError, "load() reads a binary file: its read() gave a str");
      calls_.stop();
    }
    Py_buffer view;
    if (PyObject_GetBuffer(got.get(), &view, PyBUF_SIMPLE) < 0) calls_.stop();
    const auto size = static_cast<std::size_t>(view.len);
    if (size > n) {
      PyBuffer_Release(&view);
      PyErr_Format(PyExc_ValueError, "read(%zu) gave %zu bytes", n, size);
      calls_.stop();
    }
    std::memcpy(buffer, view.buf, size);
    PyBuffer_Release(&view);
    return size;
  }
  std::optional<std::uint64_t> size() const override { return size_; }

 private:
  /// What is left of a regular file from its position, or nullopt.
  static std::optional<std::uint64_t> size_of(PyObject* file) {
    Ref fd(calling_python([file] { return PyObject_CallMethod(file, "fileno", nullptr); }));
    Ref at(fd ? calling_python([file] { return PyObject_CallMethod(file, "tell", nullptr); }) : nullptr);
    std::optional<std::uint64_t> out;
    if (fd && at) {
      const long n = PyLong_AsLong(fd.get());
      const long long pos = PyLong_AsLongLong(at.get());
      struct stat st;
      if (!PyErr_Occurred() && n >= 0 && pos >= 0 && fstat(static_cast<int>(n), &st) == 0 && S_ISREG(st.st_mode) &&
          st.st_size >= pos)
        out = static_cast<std::uint64_t>(st.st_size - pos);
    }
    PyErr_Clear();  // no size is no error
    return out;
  }

  PyObject* file_;
  Callbacks& calls_;
  std::optional<std::uint64_t> size_;
};

/// An optional str argument; false with TypeError (note `param`).
bool optional_text(PyObject* arg, const char* param, std::optional<std::string>& out) {
  if (!arg || arg == Py_None) return true;
  std::string_view text;
  if (!text_arg(arg, param, text)) return false;
  out.emplace(text);
  return true;
}

bool options_of(const LoadArgs& a, LoadOptions& o) {
  std::optional<std::string> format;
  if (!optional_text(a.format, "format", format)) return false;
  if (format) {
    const auto f = load_format_named(*format);
    if (!f) {
      PyErr_Format(PyExc_ValueError, "unknown format '%s': use one of %s", format->c_str(),
                   std::string(load_format_names()).c_str());
      add_param_note("format");
      return false;
    }
    o.format = *f;
  }
  if (!optional_text(a.value, "value", o.value) || !optional_text(a.network, "network", o.network) ||
      !optional_text(a.start, "start", o.start) || !optional_text(a.end, "end", o.end))
    return false;
  if (a.attributes && a.attributes != Py_None) {
    if (PyUnicode_Check(a.attributes)) {
      PyErr_SetString(PyExc_TypeError, "attributes must be a list of column names, not a str");
      add_param_note("attributes");
      return false;
    }
    Ref names(calling_python([&] { return PySequence_List(a.attributes); }));
    if (!names) {
      add_param_note("attributes");
      return false;
    }
    o.attributes.emplace();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
      std::string_view name;
      if (!text_arg(PyList_GET_ITEM(names.get(), i), "attributes", name)) return false;
      o.attributes->emplace_back(name);
    }
  }
  if (a.progress && a.progress != Py_None && !PyCallable_Check(a.progress)) {
    PyErr_Format(PyExc_TypeError, "progress must be callable, not '%.200s'", Py_TYPE(a.progress)->tp_name);
    add_param_note("progress");
    return false;
  }
  return true;
}

/// The source: a path, or a file object.
struct Source {
  FsPath path;               // a path's object and bytes; no object for a file object
  PyObject* file = nullptr;  // the file object, or null
  std::string name;          // names the source in errors
};

bool source_of(PyObject* arg, Source& s) {
  if (is_path_like(arg)) {
    if (!fs_path_arg(arg, "source", s.path)) return false;
    s.name = s.path.bytes;
    return true;
  }
  if (!PyObject_HasAttr(arg, strings.read)) {
    raise_not_instance(arg, "str");
    add_param_note("source");
    return false;
  }
  s.file = arg;
  s.name = "<file>";
  Ref name(PyObject_GetAttrString(arg, "name"));
  if (name && PyUnicode_Check(name.get())) {
    if (const char* text = PyUnicode_AsUTF8(name.get())) s.name = text;
  }
  PyErr_Clear();
  return true;
}

}  // namespace

PyObject* load_impl(Engine& engine, const LoadArgs& args) {
  collect_released();
  LoadOptions options;
  Source source;
  if (!source_of(args.source, source) || !options_of(args, options)) return nullptr;
  options.source_name = source.name;
  Callbacks calls;
  calls.progress = args.progress && args.progress != Py_None ? args.progress : nullptr;
  std::size_t stored = 0;
  // A file object's size is asked with the lock held; a path is opened
  // without it.
  std::unique_ptr<LoadInput> input;
  if (source.file) input = std::make_unique<FileObjectInput>(source.file, calls);
  try {
    Unlocked unlocked;
    calls.unlocked = &unlocked;
    if (!input) input = open_load_file(source.path.bytes);
    const LoadProgress progress = [&](std::uint64_t done, std::optional<std::uint64_t> total) {
      Relocked lock(unlocked);
      if (PyErr_CheckSignals() < 0) calls.stop();
      if (!calls.progress) return;
      Ref d(PyLong_FromUnsignedLongLong(done));
      Ref t(total ? PyLong_FromUnsignedLongLong(*total) : Py_NewRef(Py_None));
      if (!d || !t) calls.stop();
      Ref r(calling_python([&] { return PyObject_CallFunctionObjArgs(calls.progress, d.get(), t.get(), nullptr); }));
      if (!r) calls.stop();
    };
    LoadedTable table = read_table(*input, options, progress);
    stored = store_table(engine, table);
  } catch (const Raised&) {
    PyErr_SetRaisedException(calls.raised.release());
    return nullptr;
  } catch (const LoadError& e) {
    raise_load_error(e, &source.path);
    return nullptr;
  }
  collect_released();
  return PyLong_FromSize_t(stored);
}

}  // namespace netrove::py
