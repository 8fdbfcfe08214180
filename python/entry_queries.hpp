// Entry queries, iteration and pickling of RadixEngine: the typed
// implementations behind match, covering, covered, get, items, __reduce__
// and __setstate__.
//
// Every query asks the engine's EntryReader side, which collects copies of
// the entries inside the engine's read section and hands them back after
// leaving it; only then are Python objects built, so no Python code and no
// wait for the interpreter lock ever runs inside a read section.  No query
// moves a counter or touches the lookup cache.
//
// Entries come out as (prefix, metadata) tuples: the prefix in its hash-field
// text (prefix_field) of the network form, "10.0.0.0/8" for an entry
// inserted as "10.1.2.3/8", and the record as metadata_to_dict builds it.
//
// Pickled form (copy.copy and copy.deepcopy use it too):
//
//   __reduce__() -> (netrove.__restore__, (variant, snapshot))
//                                          None or "standard" / "lockfree" / "adaptive"
//
// where snapshot is the bytes of the engine's binary snapshot (snapshot.hpp).
// Pickles made before snapshots hold a list of (prefix, metadata) pairs in
// its place; __restore__ loads either.
//
// The class's __module__ is "builtins", so pickle cannot find the class by
// name; the reconstructor is a module function instead, under a dunder name
// that keeps it out of the module's public names.  It builds
// RadixEngine(variant) and loads the entries without counting, so the new
// engine's counters start at zero.  An engine opened with from_redis does
// not pickle (TypeError): its table lives in the store, and a copy would
// silently be either detached from it or a second writer to it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "args.hpp"
#include "netrove/engine.hpp"
#include "netrove/snapshot.hpp"

namespace netrove::py {

/// The constructor form an engine was made with, kept for pickling.  Each
/// is one variant text: none (None), standard, lockfree, and sharded_trie,
/// the text "adaptive" (a sharded compressed trie, no adaptive radix tree).
enum class Variant : std::uint8_t { none, standard, lockfree, sharded_trie };

// Docstrings, each beginning with its text signature.

inline constexpr const char kMatchDoc[] =
    "match($self, ip)\n--\n\n"
    "The longest stored prefix covering ``ip``, with its metadata.\n"
    "\n"
    "``ip`` is an address or a prefix (text with a ``/``, or an ``ipaddress``\n"
    "network); a prefix is covered by the stored prefixes of its family no\n"
    "longer than it that contain its network, itself included when stored.\n"
    "Returns ``(prefix, metadata)`` or ``None``; ``prefix`` is the network\n"
    "form, e.g. ``\"10.0.0.0/8\"``.  For an address it agrees with ``lookup``\n"
    "but counts nothing and bypasses the cache.";

inline constexpr const char kCoveringDoc[] =
    "covering($self, ip)\n--\n\n"
    "Every stored prefix covering ``ip`` (an address or a prefix, as for\n"
    "``match``): a list of ``(prefix, metadata)``, longest first.";

inline constexpr const char kParentDoc[] =
    "parent($self, subnet)\n--\n\n"
    "The longest stored prefix strictly shorter than ``subnet`` that covers\n"
    "it: ``(prefix, metadata)`` or ``None``.";

inline constexpr const char kKeysDoc[] =
    "keys($self)\n--\n\n"
    "Every stored prefix as text, in the order of ``items()``; ``iter(engine)``\n"
    "walks the same list, taken when the iteration starts.";

inline constexpr const char kValuesDoc[] =
    "values($self)\n--\n\n"
    "The metadata of every stored prefix, in the order of ``items()``.";

inline constexpr const char kCoveredDoc[] =
    "covered($self, subnet)\n--\n\n"
    "Every stored prefix inside ``subnet`` (host bits ignored), ``subnet``\n"
    "itself included: a list of ``(prefix, metadata)`` in address order,\n"
    "a shorter prefix before a longer one at the same address.";

inline constexpr const char kGetDoc[] =
    "get($self, subnet)\n--\n\n"
    "The metadata stored for exactly ``subnet`` (host bits ignored), or\n"
    "``None``.";

inline constexpr const char kItemsDoc[] =
    "items($self)\n--\n\n"
    "Every entry as a list of ``(prefix, metadata)``: IPv4 before IPv6, in\n"
    "address order, a shorter prefix before a longer one.";

inline constexpr const char kReduceDoc[] =
    "__reduce__($self)\n--\n\n"
    "Pickle support: ``(netrove.__restore__, (variant, snapshot))``, the\n"
    "snapshot being the table as bytes.  A reloaded or copied engine has the\n"
    "same variant and entries, and counters at zero.  Raises ``TypeError``\n"
    "for an engine opened with ``from_redis``.";

inline constexpr const char kRestoreDoc[] =
    "__restore__(variant, entries, /)\n--\n\n"
    "Pickle support: a new ``RadixEngine(variant)`` holding the entries of\n"
    "``entries``, a snapshot (bytes) or a list or tuple of ``(prefix,\n"
    "metadata)`` pairs, with counters at zero.  A malformed snapshot raises\n"
    "``ValueError``.";

/// The entries covering all of `key`, longest first, at most `limit`: for
/// an address every entry covering it; for a prefix the entries of its
/// family no longer than it that contain its network (itself included when
/// stored), or with `shorter_only` only those strictly shorter.  Counts
/// nothing.
std::vector<Entry> covering_key(const Engine& engine, const Key& key, std::size_t limit, bool shorter_only);

/// match(ip): (prefix, dict) of the longest stored prefix covering `ip`,
/// an address or a prefix (key_arg), or None.  Errors: those of key_arg.
PyObject* match_impl(const Engine& engine, PyObject* ip);

/// covering(ip): list of (prefix, dict) of every stored prefix covering
/// `ip` (an address or a prefix), longest first.  Errors: those of key_arg.
PyObject* covering_impl(const Engine& engine, PyObject* ip);

/// parent(subnet): (prefix, dict) of the longest stored prefix strictly
/// shorter than `subnet` that covers it, or None.  Errors: those of remove.
PyObject* parent_impl(const Engine& engine, PyObject* subnet);

/// covered(subnet): list of (prefix, dict) of every stored prefix inside
/// `subnet`, in address order, shorter first.  Errors: those of remove.
PyObject* covered_impl(const Engine& engine, PyObject* subnet);

/// get(subnet): the dict stored for exactly `subnet`, or None.  Errors:
/// those of remove.
PyObject* get_impl(const Engine& engine, PyObject* subnet);

/// items(): list of every (prefix, dict), IPv4 first, in address order.
PyObject* items_impl(const Engine& engine);

/// keys(): the prefixes of items(), as text, in its order; also what
/// iter(engine) walks.
PyObject* keys_impl(const Engine& engine) noexcept;

/// values(): the dicts of items(), in its order.
PyObject* values_impl(const Engine& engine) noexcept;

/// __reduce__: (`restore`, (variant, snapshot bytes)).  TypeError for an
/// engine opened with from_redis.
PyObject* reduce_impl(PyObject* restore, const Engine& engine, Variant variant);

/// The entries of a pickled state: a snapshot (bytes, checked whole:
/// ValueError "malformed RadixEngine snapshot: <reason>"), or every
/// (prefix, dict) pair of the list or tuple `state`, converted as insert
/// converts its arguments, into `out`.  False with the error set: TypeError
/// "RadixEngine state must be a list of (prefix, metadata) pairs" for
/// another shape; for a pair, the errors insert raises for its subnet and
/// metadata.
bool state_entries(PyObject* state, SnapshotContents& out);

/// Stores `entries` into `engine` without counting (one bulk load).  False
/// with TypeError for an engine that cannot load, or ValueError with the
/// text of a failed store.
bool load_entries(Engine& engine, SnapshotContents& entries);

}  // namespace netrove::py
