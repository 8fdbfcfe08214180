// RadixEngine: a Python object holding one shared Engine.
//
//   +--------------------+         +-------------------------------+
//   | PyObject header    |         | Engine (create_engine result) |
//   | shared_ptr<Engine> |-------->|  LocalEngine, or CachedEngine |
//   | RecordLender*      |--same-->|  around a LocalEngine         |
//   +--------------------+ object  +-------------------------------+
//
// `lookup`, `lookup_value` and `contains` go through the engine's
// RecordLender side when it has one (found once, at construction): the
// answer is built while the engine lends the stored record, from the Python
// objects kept per record (record_objects.hpp; an answer dict is answers.hpp's),
// and `contains` asks only whether there is one, so none copies the record.
// Building str and dict objects runs no Python code (the collector runs only
// at eval-breaker points since 3.12), so nothing can re-enter an engine
// while it lends; an allocation failure is only remembered there and
// reported after the call.  Every write, and every call that finds some,
// frees the objects of records the engines freed meanwhile.
//
// Every method is a thin wrapper that binds its arguments and then calls a
// typed implementation inside `guarded`, the one place where C++ exceptions
// become Python ones.  Implementations convert the arguments in parameter
// order, make exactly one engine call and build the result.  The interpreter
// lock is held throughout the single calls: the engine does its own locking,
// and releasing the lock around a lookup costs more than the lookup.  The
// batch calls (batch_calls.hpp) release it while the engine works.
#include "radix_engine.hpp"

#include <cstddef>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "answers.hpp"
#include "args.hpp"
#include "batch_calls.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "entry_queries.hpp"
#include "load_call.hpp"
#include "netrove/engine.hpp"
#include "netrove/factory.hpp"
#include "store/hybrid_engine.hpp"
#include "netrove/text.hpp"
#include "recent_records.hpp"
#include "record_objects.hpp"
#include "ref.hpp"
#include "table_file_calls.hpp"
#include "unlocked.hpp"

namespace netrove::py {

namespace {

struct RadixEngineObject {
  PyObject ob_base;
  std::shared_ptr<Engine> engine;
  const RecordLender* lender;  // the engine's lending side, or null
  EntryEraser* eraser;         // the engine's erasing side, or null
  RecordWriter* writer;        // the engine's side for stored records, or null
  Variant variant;             // the constructor form, for pickling
};
static_assert(offsetof(RadixEngineObject, ob_base) == 0, "the object header comes first");

Engine& engine_of(PyObject* self) noexcept { return *reinterpret_cast<RadixEngineObject*>(self)->engine; }
const RecordLender* lender_of(PyObject* self) noexcept { return reinterpret_cast<RadixEngineObject*>(self)->lender; }
EntryEraser* eraser_of(PyObject* self) noexcept { return reinterpret_cast<RadixEngineObject*>(self)->eraser; }
RecordWriter* writer_of(PyObject* self) noexcept { return reinterpret_cast<RadixEngineObject*>(self)->writer; }
// netrove.__restore__, set when the module is populated; what __reduce__
// names as the reconstructor.
PyObject* restore_object = nullptr;

Variant variant_of(PyObject* self) noexcept { return reinterpret_cast<RadixEngineObject*>(self)->variant; }

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

constexpr const char kSaveDoc[] =
    "save($self, path)\n--\n\n"
    "Write the table to a table file at ``path``.\n"
    "\n"
    "The file holds each distinct record once, then every prefix, under a\n"
    "header with the counts and a checksum.  It is written beside ``path``\n"
    "and renamed over it once complete, so ``path`` holds the old file or\n"
    "the new one, never part of one.  Raises OSError when it cannot be\n"
    "written (``path`` is then untouched).";

constexpr const char kOpenDoc[] =
    "open($type, path, variant=None)\n--\n\n"
    "A new engine holding the table file at ``path`` (see ``save``).\n"
    "\n"
    "The whole file is checked before anything is built: a truncated or\n"
    "corrupt file, or one written by a newer netrove, raises ValueError\n"
    "saying which; OSError when it cannot be read.  ``variant`` as for\n"
    "``RadixEngine(variant)``.";

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

constexpr const char kLookupValueDoc[] =
    "lookup_value($self, ip)\n--\n\n"
    "The value of the longest stored prefix covering ``ip``, or ``None``.\n"
    "\n"
    "Returns the record's stored ``str`` itself, the same object for every\n"
    "answer of that record, so nothing is allocated per call.  Counts and\n"
    "caches as ``lookup`` does.";

constexpr const char kLookupManyDoc[] =
    "lookup_many($self, ips, *, family=None)\n--\n\n"
    "Longest-prefix match of every address of ``ips``.\n"
    "\n"
    "Returns a list whose element i is what ``lookup(ips[i])`` returns.\n"
    "``ips`` is an iterable of str, or with ``family=4`` or ``family=6`` any\n"
    "object with the buffer protocol holding packed addresses: for 4, integer\n"
    "items of 4 bytes (the address's number, as ``int(IPv4Address(...))``,\n"
    "``array('I')`` or a NumPy ``uint32`` array hold it) or bytes read as\n"
    "4-byte big-endian rows; for 6, 16-byte big-endian rows (item size 16 or\n"
    "1), as ``IPv6Address.packed`` gives them.  Every element is converted\n"
    "before any lookup runs: a bad one raises the error ``lookup`` raises,\n"
    "with the note \"while processing element i of 'ips'\", and nothing is\n"
    "looked up.  The lookups run without the interpreter lock.";

constexpr const char kLookupValuesDoc[] =
    "lookup_values($self, ips, *, family=None)\n--\n\n"
    "``lookup_value`` of every address of ``ips``: a list of the stored\n"
    "value strs (or ``None``).  Arguments and errors as ``lookup_many``.";

constexpr const char kContainsManyDoc[] =
    "contains_many($self, ips, *, family=None)\n--\n\n"
    "``contains`` of every address of ``ips``: a list of bool.  Arguments\n"
    "and errors as ``lookup_many``.";

constexpr const char kInsertManyDoc[] =
    "insert_many($self, items)\n--\n\n"
    "Insert many prefixes: ``items`` maps subnet to metadata dict, or is an\n"
    "iterable of ``(subnet, metadata)`` pairs.\n"
    "\n"
    "Every element is converted before anything is stored: a bad one raises\n"
    "the error ``insert`` raises, with the note \"while processing element i\n"
    "of 'items'\", and the engine is left unchanged.  Afterwards the table\n"
    "and the counters are those of the single inserts in order.";

constexpr const char kLoadDoc[] =
    "load($self, source, format=None, *, value=None, attributes=None, network=None, start=None, end=None, "
    "progress=None)\n--\n\n"
    "Load a table from a file in one call; returns the number of distinct\n"
    "prefixes stored.\n"
    "\n"
    "``source`` is a path or a binary file object; gzip, bzip2 and xz are\n"
    "read through.  ``format`` is \"list\", \"pfx2as\", \"ipasn\", \"csv\",\n"
    "\"mrt\", \"mmdb\" or \"table\" (a file ``save`` wrote) "
    "(detected from the content when None).  ``value`` is csv's value column,\n"
    "list's value or an mmdb path; ``attributes`` csv columns or mmdb paths;\n"
    "``network``, ``start`` and ``end`` name csv columns.  ``progress(done_bytes, total_bytes)`` is called a few\n"
    "times a second and once at the end.  One bulk load: an equal prefix\n"
    "replaces the stored one, later lines win, and a bad line (ValueError\n"
    "naming the source and the line) stores nothing.";

constexpr const char kClearDoc[] = "clear($self)\n--\n\nRemove all entries.";
constexpr const char kStatsDoc[] = "stats($self)\n--\n\nEngine performance statistics.";

// ---------------------------------------------------------------------------
// Parameter lists.

PyObject* const* const kNewNames[] = {&strings.variant};
PyObject* const* const kInsertNames[] = {&strings.subnet, &strings.metadata};
PyObject* const* const kSubnetNames[] = {&strings.subnet};
PyObject* const* const kIpNames[] = {&strings.ip};
PyObject* const* const kIpsNames[] = {&strings.ips, &strings.family};
PyObject* const* const kLoadNames[] = {&strings.source, &strings.format,  &strings.value, &strings.attributes,
                                       &strings.network, &strings.start, &strings.end,   &strings.progress};
PyObject* const* const kItemsNames[] = {&strings.items};

constexpr Params kNewParams{"RadixEngine.__new__", 1, 0, kNewNames};
constexpr Params kInsertParams{"RadixEngine.insert", 2, 2, kInsertNames};
constexpr Params kLookupParams{"RadixEngine.lookup", 1, 1, kIpNames};
constexpr Params kRemoveParams{"RadixEngine.remove", 1, 1, kSubnetNames};
constexpr Params kContainsParams{"RadixEngine.contains", 1, 1, kIpNames};
constexpr Params kLookupValueParams{"RadixEngine.lookup_value", 1, 1, kIpNames};
// ips, then the keyword-only family.
constexpr Params kLookupManyParams{"RadixEngine.lookup_many", 2, 1, kIpsNames, 1};
constexpr Params kLookupValuesParams{"RadixEngine.lookup_values", 2, 1, kIpsNames, 1};
constexpr Params kContainsManyParams{"RadixEngine.contains_many", 2, 1, kIpsNames, 1};
constexpr Params kInsertManyParams{"RadixEngine.insert_many", 1, 1, kItemsNames};
// source and format, then the keyword-only options.
constexpr Params kLoadParams{"RadixEngine.load", 8, 1, kLoadNames, 2};
PyObject* const* const kPathNames[] = {&strings.path};
PyObject* const* const kOpenNames[] = {&strings.path, &strings.variant};
constexpr Params kSaveParams{"RadixEngine.save", 1, 1, kPathNames};
constexpr Params kOpenParams{"RadixEngine.open", 2, 1, kOpenNames};
constexpr Params kMatchParams{"RadixEngine.match", 1, 1, kIpNames};
constexpr Params kCoveringParams{"RadixEngine.covering", 1, 1, kIpNames};
constexpr Params kCoveredParams{"RadixEngine.covered", 1, 1, kSubnetNames};
constexpr Params kGetParams{"RadixEngine.get", 1, 1, kSubnetNames};
constexpr Params kParentParams{"RadixEngine.parent", 1, 1, kSubnetNames};

// ---------------------------------------------------------------------------
// Shared conversions.

// The configuration of RadixEngine(variant): a recognised name selects a
// cached engine of its tree; None, absence or any other text the default.
// `form` is set to the form that builds the same engine again.
bool config_for(PyObject* variant, EngineConfig& config, Variant& form) {
  form = Variant::none;
  if (!variant || variant == Py_None) return true;
  std::string_view name;
  if (!text_arg(variant, "variant", name)) return false;
  if (name == "standard") config.engine_type = netrove::EngineType::trie, form = Variant::standard;
  else if (name == "lockfree") config.engine_type = netrove::EngineType::mapped_trie, form = Variant::lockfree;
  else if (name == "adaptive") config.engine_type = netrove::EngineType::sharded_atomic_trie, form = Variant::sharded_trie;
  else return true;
  config.cache_ttl_secs = 3600;
  config.cache_capacity = 10000;
  config.enable_cache = true;
  config.node_style = netrove::NodeStyle::atomic;
  return true;
}

// ---------------------------------------------------------------------------
// Typed implementations.  Each returns a new reference, or null with a
// Python error set; C++ exceptions are left to the caller's guard.

PyObject* new_impl(PyTypeObject* type, PyObject* variant) {
  EngineConfig config;
  Variant form;
  if (!config_for(variant, config, form)) return nullptr;
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
  obj->eraser = dynamic_cast<EntryEraser*>(engine.get());
  obj->writer = dynamic_cast<RecordWriter*>(engine.get());
  obj->variant = form;
  new (&obj->engine) std::shared_ptr<Engine>(std::move(engine));
  return self;
}

// A new instance of `type` holding `engine`, made with the form `form`.
PyObject* instance_of(PyTypeObject* type, std::shared_ptr<Engine> engine, Variant form) {
  Ref no_args(PyTuple_New(0));
  if (!no_args) return nullptr;
  PyObject* self = PyBaseObject_Type.tp_new(type, no_args.get(), nullptr);
  if (!self) return nullptr;
  auto* obj = reinterpret_cast<RadixEngineObject*>(self);
  obj->lender = dynamic_cast<const RecordLender*>(engine.get());
  obj->eraser = dynamic_cast<EntryEraser*>(engine.get());
  obj->writer = dynamic_cast<RecordWriter*>(engine.get());
  obj->variant = form;
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
  Variant form;
  if (!config_for(variant, config, form)) return nullptr;
  config.enable_redis = true;            // wins over the cache
  config.write_path_compression = true;  // the write engine is never queried: keep it small
  config.redis_url = std::string(text);
  config.follow = follow;
  std::shared_ptr<Engine> engine;
  {
    Unlocked unlocked;
    engine = create_engine(std::move(config));
  }
  return instance_of(type, std::move(engine), form);
}

// An instance of `type` of the variant `variant`, holding the entries that
// `read` fills: the variant is converted as RadixEngine(variant) converts
// it, then the entries are read and checked whole, and only then is the
// engine built and filled by one bulk load, counting nothing.
template <class Read>
PyObject* restored(PyTypeObject* type, PyObject* variant, Read&& read) {
  EngineConfig config;
  Variant form;
  if (!config_for(variant, config, form)) return nullptr;
  SnapshotContents entries;
  if (!read(entries)) return nullptr;
  Ref self(instance_of(type, create_engine(std::move(config)), form));
  if (!self || !load_entries(engine_of(self.get()), entries)) return nullptr;
  return self.release();
}

// __restore__: the state is a snapshot, or the pairs of an older pickle.
PyObject* restore_impl(PyObject* variant, PyObject* state) {
  PyObject* type = radix_engine_type();
  if (!type) return nullptr;
  return restored(reinterpret_cast<PyTypeObject*>(type), variant,
                  [state](SnapshotContents& entries) { return state_entries(state, entries); });
}

// RadixEngine.open: the entries of a table file.
PyObject* open_impl(PyTypeObject* type, PyObject* path, PyObject* variant) {
  return restored(type, variant, [path](SnapshotContents& entries) { return table_file_entries(path, entries); });
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

PyObject* insert_impl(Engine& engine, RecordWriter* writer, PyObject* subnet, PyObject* metadata) {
  collect_released();
  IpPrefix prefix;
  RecordRef record;
  if (!insert_args(subnet, metadata, prefix, record)) return nullptr;
  InsertResult r = writer ? writer->insert_record(prefix, std::move(record))
                          : engine.insert(prefix, record.view().to_metadata());
  if (!r.ok()) {
    raise_text(PyExc_ValueError, r.error->message);
    return nullptr;
  }
  Py_RETURN_NONE;
}

// The answer to one lookup of `address`: answer(objects of the record
// found), or None.  A lender's record is answered inside its read section
// (building objects runs no Python code); another engine's copy is interned
// first.
template <class Answer>
PyObject* answer_lookup(const Engine& engine, const RecordLender* lender, const IpAddress& address, Answer&& answer) {
  collect_released();
  if (!lender) {
    const std::optional<Metadata> found = engine.lookup(address);
    if (!found) Py_RETURN_NONE;
    const RecordRef record = RecordRef::intern(*found);  // alive until the answer is built
    const RecordObjects* o = objects_of(record.view());
    return o ? answer(*o) : nullptr;
  }
  // Empty after a hit only when building failed (the error is set); owned,
  // so that a failure raised after the visit releases it.
  Ref result;
  const bool found = lender->lookup_with(address, [&](const RecordView& record) noexcept {
    if (const RecordObjects* o = objects_of(record)) result = Ref(answer(*o));
  });
  if (!found) Py_RETURN_NONE;
  return result.release();
}

// The same for the argument `ip`.
template <class Answer>
PyObject* answer_lookup(const Engine& engine, const RecordLender* lender, PyObject* ip, Answer&& answer) {
  IpAddress address;
  if (!address_arg(ip, address)) return nullptr;
  return answer_lookup(engine, lender, address, answer);
}

PyObject* lookup_impl(const Engine& engine, const RecordLender* lender, PyObject* ip) {
  return answer_lookup(engine, lender, ip, [](const RecordObjects& o) { return new_answer(o); });
}

PyObject* lookup_value_impl(const Engine& engine, const RecordLender* lender, PyObject* ip) {
  return answer_lookup(engine, lender, ip, [](const RecordObjects& o) { return Py_NewRef(o.value); });
}

// Whether a stored prefix covers `address`, asked as a lookup (counted and
// cached like one) that copies no record where the engine lends.
bool covers(const Engine& engine, const RecordLender* lender, const IpAddress& address) {
  return lender ? lender->lookup_with(address, RecordVisitor{}) : engine.lookup(address).has_value();
}

PyObject* contains_impl(const Engine& engine, const RecordLender* lender, PyObject* ip) {
  IpAddress address;
  if (!address_arg(ip, address)) return nullptr;
  return PyBool_FromLong(covers(engine, lender, address));
}

PyObject* remove_impl(Engine& engine, EntryEraser* eraser, PyObject* subnet) {
  collect_released();
  IpPrefix prefix;
  if (!prefix_arg(subnet, prefix)) return nullptr;
  // Only whether an entry went is returned: the record is not copied out.
  return PyBool_FromLong(eraser ? eraser->erase(prefix) : engine.remove(prefix).has_value());
}

PyObject* clear_impl(Engine& engine) {
  forget_recent_records();
  engine.clear();  // frees the old table's records before it returns
  collect_released();
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

// The mapping protocol.  engine[key] and `key in engine` answer for an
// address as lookup and contains do (counters and cache included), for a
// prefix as match does; engine[subnet] = metadata is insert, del
// engine[subnet] remove.

PyObject* subscript_impl(const Engine& engine, const RecordLender* lender, PyObject* key) {
  Key k;
  if (!key_arg(key, "key", k)) return nullptr;
  Ref found;
  if (!k.is_prefix) {
    found = Ref(answer_lookup(engine, lender, k.address, [](const RecordObjects& o) { return new_answer(o); }));
  } else {
    const std::vector<Entry> entries = covering_key(engine, k, 1, false);
    found = Ref(entries.empty() ? Py_NewRef(Py_None) : answer_of(entries.front().record.view()));
  }
  if (!found) return nullptr;
  if (found.get() == Py_None) {
    PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
  }
  return found.release();
}

int ass_subscript_impl(Engine& engine, RecordWriter* writer, EntryEraser* eraser, PyObject* key, PyObject* metadata) {
  if (metadata) {
    Ref done(insert_impl(engine, writer, key, metadata));
    return done ? 0 : -1;
  }
  Ref removed(remove_impl(engine, eraser, key));
  if (!removed) return -1;
  if (removed.get() == Py_False) {
    PyErr_SetObject(PyExc_KeyError, key);
    return -1;
  }
  return 0;
}

int contains_key_impl(const Engine& engine, const RecordLender* lender, PyObject* key) {
  Key k;
  if (!key_arg(key, "key", k)) return -1;
  if (!k.is_prefix) return covers(engine, lender, k.address);
  return !covering_key(engine, k, 1, false).empty();
}

PyObject* iter_impl(const Engine& engine) {
  Ref keys(keys_impl(engine));
  return keys ? PyObject_GetIter(keys.get()) : nullptr;
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
  forget_recent_records();
  reinterpret_cast<RadixEngineObject*>(self)->engine.~shared_ptr();  // frees what it owned
  collect_released();
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
  return guarded<PyObject*>(nullptr, [&] { return insert_impl(engine_of(self), writer_of(self), argv[0], argv[1]); });
}

PyObject* rx_lookup(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* argv[1];
  if (!bind(kLookupParams, args, nargs, kwnames, argv)) return nullptr;
  return guarded<PyObject*>(nullptr, [&] { return lookup_impl(engine_of(self), lender_of(self), argv[0]); });
}

PyObject* rx_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* argv[1];
  if (!bind(kRemoveParams, args, nargs, kwnames, argv)) return nullptr;
  return guarded<PyObject*>(nullptr, [&] { return remove_impl(engine_of(self), eraser_of(self), argv[0]); });
}

PyObject* rx_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* argv[1];
  if (!bind(kContainsParams, args, nargs, kwnames, argv)) return nullptr;
  return guarded<PyObject*>(nullptr, [&] { return contains_impl(engine_of(self), lender_of(self), argv[0]); });
}

PyObject* rx_lookup_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* argv[1];
  if (!bind(kLookupValueParams, args, nargs, kwnames, argv)) return nullptr;
  return guarded<PyObject*>(nullptr, [&] { return lookup_value_impl(engine_of(self), lender_of(self), argv[0]); });
}

// lookup_many, lookup_values and contains_many: ips and the keyword family.
template <const Params& P, PyObject* (*Impl)(const Engine&, PyObject*, PyObject*)>
PyObject* rx_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* argv[2];
  if (!bind(P, args, nargs, kwnames, argv)) return nullptr;
  return guarded<PyObject*>(nullptr, [&] { return Impl(engine_of(self), argv[0], argv[1]); });
}

PyObject* rx_insert_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* argv[1];
  if (!bind(kInsertManyParams, args, nargs, kwnames, argv)) return nullptr;
  collect_released();
  return guarded<PyObject*>(nullptr, [&] { return insert_many_impl(engine_of(self), argv[0]); });
}

PyObject* rx_load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* argv[8];
  if (!bind(kLoadParams, args, nargs, kwnames, argv)) return nullptr;
  const LoadArgs a{argv[0], argv[1], argv[2], argv[3], argv[4], argv[5], argv[6], argv[7]};
  return guarded<PyObject*>(nullptr, [&] { return load_impl(engine_of(self), a); });
}

PyObject* rx_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* argv[1];
  if (!bind(kSaveParams, args, nargs, kwnames, argv)) return nullptr;
  return guarded<PyObject*>(nullptr, [&] { return save_impl(engine_of(self), argv[0]); });
}

PyObject* rx_open(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* argv[2];
  if (!bind(kOpenParams, args, nargs, kwnames, argv)) return nullptr;
  return guarded<PyObject*>(nullptr,
                            [&] { return open_impl(reinterpret_cast<PyTypeObject*>(cls), argv[0], argv[1]); });
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

// match, covering, covered and get: one parameter, one read-only call.
template <const Params& P, PyObject* (*Impl)(const Engine&, PyObject*)>
PyObject* rx_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* argv[1];
  if (!bind(P, args, nargs, kwnames, argv)) return nullptr;
  return guarded<PyObject*>(nullptr, [&] { return Impl(engine_of(self), argv[0]); });
}

PyObject* rx_items(PyObject* self, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return items_impl(engine_of(self)); });
}

PyObject* rx_keys(PyObject* self, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return keys_impl(engine_of(self)); });
}

PyObject* rx_values(PyObject* self, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return values_impl(engine_of(self)); });
}

PyObject* rx_subscript(PyObject* self, PyObject* key) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return subscript_impl(engine_of(self), lender_of(self), key); });
}

int rx_ass_subscript(PyObject* self, PyObject* key, PyObject* metadata) noexcept {
  return guarded<int>(-1, [&] {
    return ass_subscript_impl(engine_of(self), writer_of(self), eraser_of(self), key, metadata);
  });
}

int rx_contains_key(PyObject* self, PyObject* key) noexcept {
  return guarded<int>(-1, [&] { return contains_key_impl(engine_of(self), lender_of(self), key); });
}

PyObject* rx_iter(PyObject* self) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return iter_impl(engine_of(self)); });
}

PyObject* rx_reduce(PyObject* self, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return reduce_impl(restore_object, engine_of(self), variant_of(self)); });
}

// netrove.__restore__(variant, entries).
PyObject* rx_restore(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "__restore__ expected 2 arguments, got %zd", nargs);
    return nullptr;
  }
  return guarded<PyObject*>(nullptr, [&] { return restore_impl(args[0], args[1]); });
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
    {"lookup_value", as_cfunction(rx_lookup_value), METH_FASTCALL | METH_KEYWORDS, kLookupValueDoc},
    {"lookup_many", as_cfunction(rx_batch<kLookupManyParams, lookup_many_impl>), METH_FASTCALL | METH_KEYWORDS,
     kLookupManyDoc},
    {"lookup_values", as_cfunction(rx_batch<kLookupValuesParams, lookup_values_impl>),
     METH_FASTCALL | METH_KEYWORDS, kLookupValuesDoc},
    {"contains_many", as_cfunction(rx_batch<kContainsManyParams, contains_many_impl>),
     METH_FASTCALL | METH_KEYWORDS, kContainsManyDoc},
    {"insert_many", as_cfunction(rx_insert_many), METH_FASTCALL | METH_KEYWORDS, kInsertManyDoc},
    {"load", as_cfunction(rx_load), METH_FASTCALL | METH_KEYWORDS, kLoadDoc},
    {"save", as_cfunction(rx_save), METH_FASTCALL | METH_KEYWORDS, kSaveDoc},
    {"open", as_cfunction(rx_open), METH_FASTCALL | METH_KEYWORDS | METH_CLASS, kOpenDoc},
    {"clear", as_cfunction(rx_clear), METH_NOARGS, kClearDoc},
    {"stats", as_cfunction(rx_stats), METH_NOARGS, kStatsDoc},
    {"from_redis", as_cfunction(rx_from_redis), METH_VARARGS | METH_KEYWORDS | METH_CLASS, kFromRedisDoc},
    {"follow_stats", as_cfunction(rx_follow_stats), METH_NOARGS, kFollowStatsDoc},
    {"match", as_cfunction(rx_query<kMatchParams, match_impl>), METH_FASTCALL | METH_KEYWORDS, kMatchDoc},
    {"covering", as_cfunction(rx_query<kCoveringParams, covering_impl>), METH_FASTCALL | METH_KEYWORDS, kCoveringDoc},
    {"covered", as_cfunction(rx_query<kCoveredParams, covered_impl>), METH_FASTCALL | METH_KEYWORDS, kCoveredDoc},
    {"get", as_cfunction(rx_query<kGetParams, get_impl>), METH_FASTCALL | METH_KEYWORDS, kGetDoc},
    {"parent", as_cfunction(rx_query<kParentParams, parent_impl>), METH_FASTCALL | METH_KEYWORDS, kParentDoc},
    {"items", as_cfunction(rx_items), METH_NOARGS, kItemsDoc},
    {"keys", as_cfunction(rx_keys), METH_NOARGS, kKeysDoc},
    {"values", as_cfunction(rx_values), METH_NOARGS, kValuesDoc},
    {"__reduce__", as_cfunction(rx_reduce), METH_NOARGS, kReduceDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(rx_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(rx_dealloc)},
    {Py_mp_length, reinterpret_cast<void*>(rx_len)},
    {Py_mp_subscript, reinterpret_cast<void*>(rx_subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(rx_ass_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(rx_contains_key)},
    {Py_tp_iter, reinterpret_cast<void*>(rx_iter)},
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

PyMethodDef restore_def = {"__restore__", as_cfunction(rx_restore), METH_FASTCALL, kRestoreDoc};

}  // namespace

PyObject* restore_function(PyObject* module) noexcept {
  Ref name(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  Py_XSETREF(restore_object, PyCFunction_NewEx(&restore_def, module, name.get()));
  return Py_XNewRef(restore_object);
}

PyObject* radix_engine_type() noexcept {
  if (!type_object) type_object = PyType_FromSpec(&spec);
  return type_object;
}

}  // namespace netrove::py
