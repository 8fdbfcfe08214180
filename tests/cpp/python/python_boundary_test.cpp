// The C++/Python boundary with an embedded interpreter and the module linked
// in: internal failures become PanicException, a BaseException subclass
// created on first use and never added to the module.  No Python call can
// provoke an internal failure of a healthy engine, so this is where that
// path is tested.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "answers.hpp"
#include "args.hpp"
#include "boundary.hpp"
#include "netrove/factory.hpp"
#include "netrove/record.hpp"
#include "netrove/text.hpp"
#include "record_objects.hpp"
#include "sync/panic.hpp"
#include "sync/rcu.hpp"
#include "sync/sync.hpp"

extern "C" PyObject* PyInit_netrove(void);

namespace netrove::py {
namespace {

class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override {
    PyImport_AppendInittab("netrove", PyInit_netrove);
    Py_Initialize();
  }
  void TearDown() override { Py_FinalizeEx(); }
};
const auto* const kInterpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

// The raised exception's type and str(), clearing it.
std::pair<PyObject*, std::string> take_error() {
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return {nullptr, ""};
  PyObject* text = PyObject_Str(exc);
  std::string s = text ? PyUnicode_AsUTF8(text) : "<str failed>";
  Py_XDECREF(text);
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_DECREF(exc);
  return {type, s};
}

std::string attr_text(PyObject* obj, const char* name) {
  PyObject* v = PyObject_GetAttrString(obj, name);
  std::string s = v && PyUnicode_Check(v) ? PyUnicode_AsUTF8(v) : "<missing>";
  Py_XDECREF(v);
  PyErr_Clear();
  return s;
}

// Runs first (tests run in declaration order): nothing has failed yet, so the
// class does not exist, and importing the module does not create it.
TEST(Boundary, PanicExceptionIsCreatedOnFirstUseOnly) {
  PyObject* module = PyImport_ImportModule("netrove");
  ASSERT_NE(module, nullptr);
  EXPECT_FALSE(PyObject_HasAttrString(module, "PanicException"));

  PyObject* r = guarded<PyObject*>(nullptr, []() -> PyObject* { panic("broken invariant: x"); });
  EXPECT_EQ(r, nullptr);
  auto [type, text] = take_error();
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(type, panic_exception_type());
  EXPECT_EQ(attr_text(type, "__name__"), "PanicException");
  EXPECT_EQ(attr_text(type, "__module__"), "netrove");
  EXPECT_EQ(text, "broken invariant: x");
  // Derived directly from BaseException, so `except Exception` misses it.
  EXPECT_EQ(reinterpret_cast<PyTypeObject*>(type)->tp_base, reinterpret_cast<PyTypeObject*>(PyExc_BaseException));
  EXPECT_FALSE(PyObject_IsSubclass(type, PyExc_Exception));
  // Still not a module attribute, and the same class on every later use.
  EXPECT_FALSE(PyObject_HasAttrString(module, "PanicException"));
  EXPECT_EQ(panic_exception_type(), type);
  Py_DECREF(module);
}

TEST(Boundary, EveryCppExceptionBecomesPanicException) {
  guarded<int>(-1, []() -> int { throw std::invalid_argument("engine_type must be 0 to 5, got 9"); });
  auto [t1, m1] = take_error();
  EXPECT_EQ(t1, panic_exception_type());
  EXPECT_EQ(m1, "engine_type must be 0 to 5, got 9");

  EXPECT_EQ(guarded<long>(-7, []() -> long { throw 42; }), -7);
  auto [t2, m2] = take_error();
  EXPECT_EQ(t2, panic_exception_type());
  EXPECT_EQ(m2, "unknown internal failure");

  // A failure text that is not valid UTF-8 still reaches Python.
  guarded<int>(0, []() -> int { panic("Failed to initialize HybridEngine: \"\xff\""); });
  auto [t3, m3] = take_error();
  EXPECT_EQ(t3, panic_exception_type());
  EXPECT_EQ(m3, "Failed to initialize HybridEngine: \"\xEF\xBF\xBD\"");

  // No exception: the result passes through and nothing is raised.
  EXPECT_EQ(guarded<int>(-1, [] { return 5; }), 5);
  EXPECT_EQ(PyErr_Occurred(), nullptr);
}

TEST(Boundary, PoisonedLockSurfacesAsPanicException) {
  PoisonSharedMutex m;
  guarded<int>(0, [&]() -> int {
    PoisonSharedMutex::WriteGuard g(m);
    panic("failed while holding the lock");
  });
  take_error();
  ASSERT_TRUE(m.poisoned());
  guarded<int>(0, [&]() -> int {
    PoisonSharedMutex::ReadGuard g(m);
    return 1;
  });
  auto [type, text] = take_error();
  EXPECT_EQ(type, panic_exception_type());
  EXPECT_EQ(text, kPoisonedMessage);
}

// sys.getallocatedblocks().
Py_ssize_t allocated_blocks() {
  PyObject* sys = PyImport_ImportModule("sys");
  PyObject* n = sys ? PyObject_CallMethod(sys, "getallocatedblocks", nullptr) : nullptr;
  const Py_ssize_t blocks = n ? PyLong_AsSsize_t(n) : -1;
  Py_XDECREF(n);
  Py_XDECREF(sys);
  return blocks;
}

// Records carrying their Python objects are freed on a thread that never
// holds the interpreter lock (a batch writer); the objects wait, untouched,
// until a holder of the lock collects them, and then every block is back.
// Under ASan a decref from the other thread or a double release shows.
TEST(RecordObjects, RecordsFreedOnAnotherThreadGiveTheirObjectsBackUnderTheLock) {
  PyObject* module = PyImport_ImportModule("netrove");  // installs the release hook
  ASSERT_NE(module, nullptr);
  Py_DECREF(module);
  const IpAddress a = *parse_address("10.1.2.3");
  // Records of distinct contents, each answered once (so that it carries
  // objects), cleared every 50 on another thread, then the engine dropped.
  auto rounds = [&](int from, int to) {
    std::shared_ptr<Engine> e = create_engine(EngineConfig{});
    const auto& lender = dynamic_cast<const RecordLender&>(*e);
    for (int round = from; round < to; ++round) {
      Metadata m;
      m.value = "v" + std::to_string(round);
      m.attributes.emplace("k", "a" + std::to_string(round));
      ASSERT_TRUE(e->insert(*parse_prefix("10.0.0.0/8"), m).ok());
      PyObject* got = nullptr;
      ASSERT_TRUE(lender.lookup_with(a, [&](const RecordView& r) noexcept { got = answer_of(r); }));
      ASSERT_NE(got, nullptr);
      Py_DECREF(got);
      if (round % 50 == 49) {
        PyThreadState* released = PyEval_SaveThread();
        std::thread([&] { e->clear(); }).join();  // frees every old record over there
        PyEval_RestoreThread(released);
      }
    }
    e.reset();
    collect_released();
  };
  rounds(0, 100);
  const Py_ssize_t before = allocated_blocks();
  rounds(100, 1100);
  EXPECT_LE(allocated_blocks() - before, 20);
}

// insert_many lends the records of the dicts it remembers and counts the
// shares once per record when the call ends.  Each record must be alive
// exactly as long as something holds it: through list and generator
// pairs, a dict changed mid-call (its first record's shares counted when
// the second is made), and a call that fails after lending.  A share
// counted too few times frees a record the engine still holds (the
// census drops early; ASan sees the use after free), too many keeps it
// after the engine is gone.
TEST(InsertMemo, EveryLentShareIsCountedOnce) {
  const auto alive = [] {
    rcu::drain();
    return record_census().records;
  };
  const std::uint64_t base = alive();
  PyObject* globals = PyDict_New();
  PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
  PyObject* r = PyRun_String(R"(
import netrove
a, b = {"value": "a", "attributes": {"k": "1"}}, {"value": "b"}
e = netrove.RadixEngine()
pairs = [(f"10.{i}.0.0/16", a if i % 2 else b) for i in range(200)]
e.insert_many(pairs)
e.insert_many((f"11.{i}.0.0/16", a) for i in range(100))

def changing():
    for i in range(100):
        if i == 50:
            a["value"] = "a2"
        yield f"12.{i}.0.0/16", a

e.insert_many(changing())
try:
    e.insert_many(pairs[:50] + [("bad", b)] + pairs[50:])
except ValueError:
    pass
else:
    raise AssertionError("stored a bad element")
assert len(e) == 400 and e.get("12.49.0.0/16")["value"] == "a" and e.get("12.50.0.0/16")["value"] == "a2"
# One prefix left per record: a share counted too few times ends its
# record before the last prefix goes.
for p in [p for p, _ in e.items() if p not in ("10.0.0.0/16", "10.1.0.0/16", "12.99.0.0/16")]:
    e.remove(p)
)",
                             Py_file_input, globals, globals);
  if (!r) PyErr_Print();
  ASSERT_NE(r, nullptr);
  Py_DECREF(r);
  EXPECT_EQ(alive(), base + 3);  // b, a, a2: held by the engine only
  ASSERT_EQ(PyDict_DelItemString(globals, "e"), 0);
  EXPECT_EQ(alive(), base);
  Py_DECREF(globals);
}

}  // namespace
}  // namespace netrove::py
