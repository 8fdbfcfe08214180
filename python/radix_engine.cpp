// RadixEngine: a Python object holding one shared Engine.
//
//   +--------------------+         +-------------------------------+
//   | PyObject header    |         | Engine (create_engine result) |
//   | shared_ptr<Engine> |-------->|  LocalEngine, or CachedEngine |
//   | RecordLender*      |--same-->|  around a LocalEngine         |
//   +--------------------+ object  +-------------------------------+
//
// `lookup` and `contains` go through the engine's RecordLender side when it
// has one (found once, at construction): `lookup` builds its dicts straight
// from the stored record while the engine lends it, and `contains` asks only
// whether there is one, so neither copies the record.  Building str and dict
// objects runs no Python code (the collector runs only at eval-breaker
// points since 3.12), so nothing can re-enter an engine while it lends; an
// allocation failure is only remembered there and reported after the call.
//
// Every method is a thin wrapper that binds its arguments and then calls a
// typed implementation inside `guarded`, the one place where C++ exceptions
// become Python ones.  Implementations convert the arguments in parameter
// order, make exactly one engine call and build the result.  The interpreter
// lock is held throughout: the engine does its own locking, and releasing
// the lock around a lookup costs more than the lookup.
#include "radix_engine.hpp"

#include <cstddef>
#include <memory>
#include <new>
#include <string_view>

#include "args.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "netrove/engine.hpp"
#include "netrove/factory.hpp"
#include "netrove/hybrid_engine.hpp"
#include "netrove/text.hpp"
#include "ref.hpp"

namespace netrove::py {

namespace {

struct RadixEngineObject {
  PyObject ob_base;
  std::shared_ptr<Engine> engine;
  const RecordLender* lender;  // the engine's lending side, or null
};
static_assert(offsetof(RadixEngineObject, ob_base) == 0, "the object header comes first");

Engine& engine_of(PyObject* self) noexcept { return *reinterpret_cast<RadixEngineObject*>(self)->engine; }
const RecordLender* lender_of(PyObject* self) noexcept { return reinterpret_cast<RadixEngineObject*>(self)->lender; }

// ---------------------------------------------------------------------------
// Docstrings.  Each begins with its text signature: the signature line, "--"
// and an empty line, which the interpreter strips from __doc__.

constexpr const char kClassDoc[] =
    "RadixEngine(variant=None)\n--\n\n"
    "High-performance IP radix-tree engine.\n"
    "\n"
    "Example::\n"
    "\n"
    "    from netrove import RadixEngine\n"
    "\n"
    "    engine = RadixEngine()\n"
    "    engine.insert(\"10.0.0.0/8\", {\"value\": \"allow\", \"attributes\": {\"asn\": \"AS1234\"}})\n"
    "\n"
    "    match = engine.lookup(\"10.1.2.3\")\n"
    "    print(match[\"value\"])   # \"allow\"\n";

constexpr const char kInsertDoc[] =
    "insert($self, subnet, metadata)\n--\n\n"
    "Insert a CIDR prefix with associated metadata dict.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "subnet : str\n"
    "    CIDR notation, e.g. ``\"10.0.0.0/8\"``.\n"
    "metadata : dict\n"
    "    Must contain at least ``{\"value\": str, \"attributes\": dict}``.";

constexpr const char kLookupDoc[] =
    "lookup($self, ip)\n--\n\n"
    "Longest-prefix match.\n"
    "\n"
    "Returns a metadata dict on match, or ``None``.";

constexpr const char kRemoveDoc[] =
    "remove($self, subnet)\n--\n\n"
    "Remove a prefix.  Returns ``True`` if the entry existed.";

constexpr const char kContainsDoc[] =
    "contains($self, ip)\n--\n\n"
    "Returns ``True`` if any stored prefix covers the given IP.";

constexpr const char kFromRedisDoc[] =
    "from_redis($type, url, variant=None, *, follow=True)\n--\n\n"
    "Open an engine whose table lives in the Redis hash \"netrove:entries\".\n"
    "\n"
    "Every insert and remove writes the hash and publishes an update event on\n"
    "\"netrove:updates\".  With ``follow=True`` a thread owned by the engine\n"
    "applies every event (other processes' and its own) to the table that\n"
    "answers lookups, and reloads the hash after any break; its own writes\n"
    "show once their event is back (well under a millisecond on loopback).\n"
    "With ``follow=False`` lookups answer from the hash as loaded now.\n"
    "Lookups and ``contains`` never touch the network.  ``variant`` picks\n"
    "the tree as for ``RadixEngine(variant)``; there is no lookup cache.\n"
    "\n"
    "A following engine cannot be used in a child made by ``os.fork()``\n"
    "(RuntimeError): open it after the fork.\n"
    "\n"
    "Raises ``StoreError`` (a ``ConnectionError``) with the store's text,\n"
    "\"Redis error: ...\", for a bad URL, an unreachable server or refused\n"
    "authentication.";

constexpr const char kFollowStatsDoc[] =
    "follow_stats($self)\n--\n\n"
    "How a following engine keeps in step, or ``None`` for any other engine:\n"
    "``events_applied``, ``events_skipped`` (events that did not parse),\n"
    "``fields_skipped`` (hash pairs that did not parse, over every load),\n"
    "``resyncs`` (full reloads after the first), ``in_step`` and\n"
    "``lag_seconds`` (time out of step so far, 0.0 when in step).";

constexpr const char kClearDoc[] = "clear($self)\n--\n\nRemove all entries.";
constexpr const char kStatsDoc[] = "stats($self)\n--\n\nEngine performance statistics.";

// ---------------------------------------------------------------------------
// Parameter lists.

PyObject* const* const kNewNames[] = {&strings.variant};
PyObject* const* const kInsertNames[] = {&strings.subnet, &strings.metadata};
PyObject* const* const kSubnetNames[] = {&strings.subnet};
PyObject* const* const kIpNames[] = {&strings.ip};

constexpr Params kNewParams{"RadixEngine.__new__", 1, 0, kNewNames};
constexpr Params kInsertParams{"RadixEngine.insert", 2, 2, kInsertNames};
constexpr Params kLookupParams{"RadixEngine.lookup", 1, 1, kIpNames};
constexpr Params kRemoveParams{"RadixEngine.remove", 1, 1, kSubnetNames};
constexpr Params kContainsParams{"RadixEngine.contains", 1, 1, kIpNames};

// ---------------------------------------------------------------------------
// Shared conversions.

// The text of `subnet` by the prefix grammar.
bool parse_subnet(PyObject* subnet, std::string_view text, IpPrefix& out) {
  if (auto p = parse_prefix(text)) {
    out = *p;
    return true;
  }
  PyErr_Format(PyExc_ValueError, "Invalid CIDR '%U': invalid address: %U", subnet, subnet);
  return false;
}

// `subnet` as a prefix: text (note 'subnet'), then the prefix grammar.
bool prefix_arg(PyObject* subnet, IpPrefix& out) {
  std::string_view text;
  return text_arg(subnet, "subnet", text) && parse_subnet(subnet, text, out);
}

// `ip` as an address: text (note 'ip'), then the address grammar.
bool address_arg(PyObject* ip, IpAddress& out) {
  std::string_view text;
  if (!text_arg(ip, "ip", text)) return false;
  if (auto a = parse_address(text)) {
    out = *a;
    return true;
  }
  PyErr_Format(PyExc_ValueError, "Invalid IP address: %U", ip);
  return false;
}

// The configuration of RadixEngine(variant): a recognised name selects a
// cached engine of its tree; None, absence or any other text the default.
bool config_for(PyObject* variant, EngineConfig& config) {
  if (!variant || variant == Py_None) return true;
  std::string_view name;
  if (!text_arg(variant, "variant", name)) return false;
  if (name == "standard") config.engine_type = 0;
  else if (name == "lockfree") config.engine_type = 2;
  else if (name == "adaptive") config.engine_type = 3;
  else return true;
  config.cache_ttl_secs = 3600;
  config.cache_capacity = 10000;
  config.enable_cache = true;
  config.node_style = 1;
  return true;
}

// ---------------------------------------------------------------------------
// Typed implementations.  Each returns a new reference, or null with a
// Python error set; C++ exceptions are left to the caller's guard.

PyObject* new_impl(PyTypeObject* type, PyObject* variant) {
  EngineConfig config;
  if (!config_for(variant, config)) return nullptr;
  std::shared_ptr<Engine> engine(create_engine(std::move(config)));
  newfunc base_new = PyBaseObject_Type.tp_new;
  if (!base_new) {
    PyErr_SetString(PyExc_TypeError, "base type without tp_new");
    return nullptr;
  }
  Ref no_args(PyTuple_New(0));
  if (!no_args) return nullptr;
  PyObject* self = base_new(type, no_args.get(), nullptr);
  if (!self) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  auto* obj = reinterpret_cast<RadixEngineObject*>(self);
  obj->lender = dynamic_cast<const RecordLender*>(engine.get());
  new (&obj->engine) std::shared_ptr<Engine>(std::move(engine));
  return self;
}

// A new instance of `type` holding `engine`.
PyObject* instance_of(PyTypeObject* type, std::shared_ptr<Engine> engine) {
  Ref no_args(PyTuple_New(0));
  if (!no_args) return nullptr;
  PyObject* self = PyBaseObject_Type.tp_new(type, no_args.get(), nullptr);
  if (!self) return nullptr;
  auto* obj = reinterpret_cast<RadixEngineObject*>(self);
  obj->lender = dynamic_cast<const RecordLender*>(engine.get());
  new (&obj->engine) std::shared_ptr<Engine>(std::move(engine));
  return self;
}

// RadixEngine.from_redis: the configuration of RadixEngine(variant) with
// the hybrid engine on `url`.  The start-up (connection attempts, back-off
// waits, the first load) runs without the interpreter lock; its failure is
// a StartupError, which the guard raises as StoreError.
PyObject* from_redis_impl(PyTypeObject* type, PyObject* url, PyObject* variant, bool follow) {
  std::string_view text;
  if (!text_arg(url, "url", text)) return nullptr;
  EngineConfig config;
  if (!config_for(variant, config)) return nullptr;
  config.enable_redis = true;            // wins over the cache
  config.write_path_compression = true;  // the write engine is never queried: keep it small
  config.redis_url = std::string(text);
  config.follow = follow;
  std::shared_ptr<Engine> engine;
  PyThreadState* released = PyEval_SaveThread();
  try {
    engine = create_engine(std::move(config));
  } catch (...) {
    PyEval_RestoreThread(released);
    throw;
  }
  PyEval_RestoreThread(released);
  return instance_of(type, std::move(engine));
}

PyObject* follow_stats_impl(const Engine& engine) {
  const auto* hybrid = dynamic_cast<const HybridEngine*>(&engine);
  const std::optional<FollowStats> s = hybrid ? hybrid->follow_stats() : std::nullopt;
  if (!s) Py_RETURN_NONE;
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  auto put = [&](const char* key, PyObject* value) {
    Ref owned(value);
    return owned && PyDict_SetItemString(dict.get(), key, owned.get()) == 0;
  };
  const bool ok = put("events_applied", PyLong_FromUnsignedLongLong(s->events_applied)) &&
                  put("events_skipped", PyLong_FromUnsignedLongLong(s->events_skipped)) &&
                  put("fields_skipped", PyLong_FromUnsignedLongLong(s->fields_skipped)) &&
                  put("resyncs", PyLong_FromUnsignedLongLong(s->resyncs)) &&
                  put("in_step", PyBool_FromLong(s->in_step)) &&
                  put("lag_seconds", PyFloat_FromDouble(std::chrono::duration<double>(s->lag).count()));
  return ok ? dict.release() : nullptr;
}

PyObject* insert_impl(Engine& engine, PyObject* subnet, PyObject* metadata) {
  std::string_view text;
  if (!text_arg(subnet, "subnet", text)) return nullptr;
  if (!PyDict_Check(metadata)) {
    raise_not_instance(metadata, "dict");
    add_param_note("metadata");
    return nullptr;
  }
  IpPrefix prefix;
  if (!parse_subnet(subnet, text, prefix)) return nullptr;
  Metadata record;
  if (!metadata_from_dict(metadata, record)) return nullptr;
  InsertResult r = engine.insert(prefix, std::move(record));
  if (!r.ok()) {
    const std::string& m = r.error->message;
    Ref message(PyUnicode_DecodeUTF8(m.data(), static_cast<Py_ssize_t>(m.size()), "replace"));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* lookup_impl(const Engine& engine, const RecordLender* lender, PyObject* ip) {
  IpAddress address;
  if (!address_arg(ip, address)) return nullptr;
  if (!lender) {
    const std::optional<Metadata> found = engine.lookup(address);
    if (!found) Py_RETURN_NONE;
    return metadata_to_dict(*found);
  }
  // Empty after a hit only when building the dicts failed (the error is
  // set); owned, so that a failure raised after the visit releases it.
  Ref result;
  const bool found = lender->lookup_with(address, [&](const RecordView& record) noexcept {
    result = Ref(metadata_to_dict(record));
  });
  if (!found) Py_RETURN_NONE;
  return result.release();
}

PyObject* contains_impl(const Engine& engine, const RecordLender* lender, PyObject* ip) {
  IpAddress address;
  if (!address_arg(ip, address)) return nullptr;
  const bool found = lender ? lender->lookup_with(address, RecordVisitor{}) : engine.lookup(address).has_value();
  return PyBool_FromLong(found);
}

PyObject* remove_impl(Engine& engine, PyObject* subnet) {
  IpPrefix prefix;
  if (!prefix_arg(subnet, prefix)) return nullptr;
  return PyBool_FromLong(engine.remove(prefix).has_value());
}

PyObject* clear_impl(Engine& engine) {
  engine.clear();
  Py_RETURN_NONE;
}

PyObject* stats_impl(const Engine& engine) { return stats_to_dict(engine.stats()); }

Py_ssize_t len_impl(const Engine& engine) {
  const std::uint64_t n = engine.len();
  if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "engine length does not fit in a Py_ssize_t");
    return -1;
  }
  return static_cast<Py_ssize_t>(n);
}

PyObject* repr_impl(const Engine& engine) {
  return PyUnicode_FromFormat("RadixEngine(size=%llu)", static_cast<unsigned long long>(engine.len()));
}

// ---------------------------------------------------------------------------
// Slots and method wrappers: bind, then one guarded call.

PyObject* rx_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  PyObject* argv[1];
  if (!bind(kNewParams, args, kwargs, argv)) return nullptr;
  return guarded<PyObject*>(nullptr, [&] { return new_impl(type, argv[0]); });
}

void rx_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<RadixEngineObject*>(self)->engine.~shared_ptr();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);  // instances of heap types hold their type
}

Py_ssize_t rx_len(PyObject* self) noexcept {
  return guarded<Py_ssize_t>(-1, [&] { return len_impl(engine_of(self)); });
}

PyObject* rx_repr(PyObject* self) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return repr_impl(engine_of(self)); });
}

PyObject* rx_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* argv[2];
  if (!bind(kInsertParams, args, nargs, kwnames, argv)) return nullptr;
  return guarded<PyObject*>(nullptr, [&] { return insert_impl(engine_of(self), argv[0], argv[1]); });
}

PyObject* rx_lookup(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* argv[1];
  if (!bind(kLookupParams, args, nargs, kwnames, argv)) return nullptr;
  return guarded<PyObject*>(nullptr, [&] { return lookup_impl(engine_of(self), lender_of(self), argv[0]); });
}

PyObject* rx_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* argv[1];
  if (!bind(kRemoveParams, args, nargs, kwnames, argv)) return nullptr;
  return guarded<PyObject*>(nullptr, [&] { return remove_impl(engine_of(self), argv[0]); });
}

PyObject* rx_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* argv[1];
  if (!bind(kContainsParams, args, nargs, kwnames, argv)) return nullptr;
  return guarded<PyObject*>(nullptr, [&] { return contains_impl(engine_of(self), lender_of(self), argv[0]); });
}

PyObject* rx_clear(PyObject* self, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return clear_impl(engine_of(self)); });
}

PyObject* rx_stats(PyObject* self, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return stats_impl(engine_of(self)); });
}

PyObject* rx_from_redis(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept {
  static const char* const kNames[] = {"url", "variant", "follow", nullptr};
  PyObject* url = nullptr;
  PyObject* variant = nullptr;
  int follow = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$p:from_redis", const_cast<char**>(kNames), &url, &variant,
                                   &follow))
    return nullptr;
  return guarded<PyObject*>(nullptr, [&] {
    return from_redis_impl(reinterpret_cast<PyTypeObject*>(cls), url, variant, follow != 0);
  });
}

PyObject* rx_follow_stats(PyObject* self, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return follow_stats_impl(engine_of(self)); });
}

template <class F>
PyCFunction as_cfunction(F* f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"insert", as_cfunction(rx_insert), METH_FASTCALL | METH_KEYWORDS, kInsertDoc},
    {"lookup", as_cfunction(rx_lookup), METH_FASTCALL | METH_KEYWORDS, kLookupDoc},
    {"remove", as_cfunction(rx_remove), METH_FASTCALL | METH_KEYWORDS, kRemoveDoc},
    {"contains", as_cfunction(rx_contains), METH_FASTCALL | METH_KEYWORDS, kContainsDoc},
    {"clear", as_cfunction(rx_clear), METH_NOARGS, kClearDoc},
    {"stats", as_cfunction(rx_stats), METH_NOARGS, kStatsDoc},
    {"from_redis", as_cfunction(rx_from_redis), METH_VARARGS | METH_KEYWORDS | METH_CLASS, kFromRedisDoc},
    {"follow_stats", as_cfunction(rx_follow_stats), METH_NOARGS, kFollowStatsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(rx_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(rx_dealloc)},
    {Py_mp_length, reinterpret_cast<void*>(rx_len)},
    {Py_tp_repr, reinterpret_cast<void*>(rx_repr)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

// The class belongs to no module of its own: its __module__ is "builtins",
// its __name__ "RadixEngine", and it shows as <class 'builtins.RadixEngine'>.
PyType_Spec spec = {"builtins.RadixEngine", sizeof(RadixEngineObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                    slots};

// Created under the interpreter lock, which serialises every call here.
PyObject* type_object = nullptr;

}  // namespace

PyObject* radix_engine_type() noexcept {
  if (!type_object) type_object = PyType_FromSpec(&spec);
  return type_object;
}

}  // namespace netrove::py
