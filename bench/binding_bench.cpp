// What the Python binding adds to a lookup, measured side by side in one
// process on the real routing table.  The interpreter is embedded and the
// module is linked in (registered as a built-in), so every figure comes from
// the same run:
//
//   engine_lookup/V/S          Engine::lookup of a parsed address (C++ only)
//   engine_lookup_dicts/V/S    the same plus building the result dicts with
//                              the module's own builder, then freeing them
//   engine_lend/V/S            RecordLender::lookup_with of a parsed address
//                              with an empty visitor (what contains asks)
//   engine_lend_dicts/V/S      lookup_with building the result dicts from
//                              the lent record, then freeing them
//   text_lookup_dicts/V/S      the same starting from the address text
//   module_lookup/V/S          RadixEngine.lookup called through the
//                              interpreter's vector call, result freed
//   module_contains/V/S        RadixEngine.contains the same way
//
// V is the variant (none, standard, lockfree, adaptive; "tiny" is the
// default variant holding only the two default routes, so that the engine's
// share is small and the binding's own cost shows in absolute terms), S the address
// stream: "uniform" over 100k addresses inside the table's prefixes, or
// "skewed" where 10% of them take 90% of the lookups.  The binding's own
// share is module_lookup / engine_lookup_dicts.
//
// The table is $NETROVE_BENCH_DATA, else ../shared/data/tier1-prefixes.txt.gz,
// else /work/shared/data/tier1-prefixes.txt.gz.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "answers.hpp"
#include "args.hpp"
#include "netrove/engine.hpp"
#include "netrove/factory.hpp"
#include "netrove/text.hpp"
#include "sync/rcu.hpp"
#include "bench_table.hpp"

extern "C" PyObject* PyInit_netrove(void);

namespace {

using namespace netrove;

constexpr std::size_t kDistinct = 100'000;
constexpr std::size_t kStream = 1 << 20;
const char* const kVariants[] = {"tiny", "none", "standard", "lockfree", "adaptive"};

struct Data {
  std::vector<std::string> prefixes;
  std::vector<IpAddress> addresses;      // kDistinct, inside the table's prefixes
  std::vector<PyObject*> texts;          // the same as str objects
  std::vector<std::uint32_t> uniform;    // indexes into addresses
  std::vector<std::uint32_t> skewed;
};
Data data;

std::string table_path() {
  std::string path = netrove::bench::table_path();
  if (path.empty()) {
    std::fprintf(stderr, "binding_bench: routing table not found; set NETROVE_BENCH_DATA\n");
    std::exit(1);
  }
  return path;
}

void load() {
  const std::string cmd = "gzip -dc '" + table_path() + "'";
  std::FILE* in = popen(cmd.c_str(), "r");
  if (!in) std::exit(1);
  char line[256];
  while (std::fgets(line, sizeof line, in)) {
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    if (!s.empty()) data.prefixes.push_back(s);
  }
  pclose(in);

  std::mt19937_64 rng(7);
  for (std::size_t i = 0; i < kDistinct; ++i) {
    const IpPrefix p = *parse_prefix(data.prefixes[rng() % data.prefixes.size()]);
    IpAddress a{p.family, p.network_address()};
    const unsigned width = family_bits(p.family);
    for (unsigned bit = p.length; bit < width; ++bit) {
      if (rng() & 1) a.bytes[bit / 8] |= static_cast<std::uint8_t>(0x80u >> (bit % 8));
    }
    data.addresses.push_back(a);
    const std::string text = format_address(a.family, a.bytes);
    data.texts.push_back(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  }
  const std::size_t hot = kDistinct / 10;
  for (std::size_t i = 0; i < kStream; ++i) {
    data.uniform.push_back(static_cast<std::uint32_t>(rng() % kDistinct));
    data.skewed.push_back(static_cast<std::uint32_t>(rng() % 10 < 9 ? rng() % hot : hot + rng() % (kDistinct - hot)));
  }
}

Metadata record_of(std::size_t i) {
  Metadata m;
  m.value = "route-" + std::to_string(i % 1000);
  m.attributes.emplace("asn", "AS" + std::to_string(64512 + i % 1000));
  return m;
}

EngineConfig config_of(const std::string& variant) {
  EngineConfig c;
  if (variant == "none" || variant == "tiny") return c;
  c.cache_ttl_secs = 3600;
  c.cache_capacity = 10000;
  c.enable_cache = true;
  c.node_style = netrove::NodeStyle::atomic;
  c.engine_type = variant == "standard"   ? netrove::EngineType::trie
                  : variant == "lockfree" ? netrove::EngineType::mapped_trie
                                          : netrove::EngineType::sharded_atomic_trie;
  return c;
}

// The engines of one variant at a time, built on first use: a C++ engine and
// a RadixEngine, both holding the whole table.
struct Engines {
  std::string variant;
  std::unique_ptr<Engine> cpp;
  PyObject* module_engine = nullptr;
  PyObject* lookup = nullptr;    // bound methods
  PyObject* contains = nullptr;
};
Engines current;

// The metadata dict a caller passes to insert for `m`.
PyObject* record_dict(const Metadata& m) {
  PyObject* attributes = PyDict_New();
  for (const auto& [k, v] : m.attributes) {
    PyObject* value = PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
    PyDict_SetItemString(attributes, k.c_str(), value);
    Py_DECREF(value);
  }
  PyObject* out = Py_BuildValue("{s:s#,s:N}", "value", m.value.data(), static_cast<Py_ssize_t>(m.value.size()),
                                "attributes", attributes);
  return out;
}

Engines& engines_for(const std::string& variant) {
  if (current.variant == variant) return current;
  Py_XDECREF(current.lookup);
  Py_XDECREF(current.contains);
  Py_XDECREF(current.module_engine);
  current = Engines{};
  rcu::drain();  // the old tries' nodes are freed now, not during the next measurement
  current.variant = variant;
  current.cpp = create_engine(config_of(variant));
  const std::vector<std::string> default_routes = {"0.0.0.0/0", "::/0"};
  const std::vector<std::string>& table = variant == "tiny" ? default_routes : data.prefixes;
  for (std::size_t i = 0; i < table.size(); ++i) {
    (void)current.cpp->insert(*parse_prefix(table[i]), record_of(i));
  }
  PyObject* module = PyImport_ImportModule("netrove");
  PyObject* cls = PyObject_GetAttrString(module, "RadixEngine");
  current.module_engine = variant == "none" || variant == "tiny" ? PyObject_CallNoArgs(cls)
                                            : PyObject_CallFunction(cls, "s", variant.c_str());
  PyObject* insert = PyObject_GetAttrString(current.module_engine, "insert");
  for (std::size_t i = 0; i < table.size(); ++i) {
    PyObject* meta = record_dict(record_of(i));
    PyObject* subnet = PyUnicode_FromString(table[i].c_str());
    PyObject* r = PyObject_CallFunctionObjArgs(insert, subnet, meta, nullptr);
    if (!r) {
      PyErr_Print();
      std::exit(1);
    }
    Py_DECREF(r);
    Py_DECREF(subnet);
    Py_DECREF(meta);
  }
  Py_DECREF(insert);
  current.lookup = PyObject_GetAttrString(current.module_engine, "lookup");
  current.contains = PyObject_GetAttrString(current.module_engine, "contains");
  Py_DECREF(cls);
  Py_DECREF(module);
  rcu::drain();
  return current;
}

const std::vector<std::uint32_t>& stream_of(const std::string& name) {
  return name == "uniform" ? data.uniform : data.skewed;
}

void engine_lookup(benchmark::State& state, std::string variant, std::string stream) {
  const Engine& e = *engines_for(variant).cpp;
  const auto& s = stream_of(stream);
  std::size_t i = 0;
  for (auto _ : state) {
    auto r = e.lookup(data.addresses[s[i++ & (kStream - 1)]]);
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
}

void engine_lookup_dicts(benchmark::State& state, std::string variant, std::string stream) {
  const Engine& e = *engines_for(variant).cpp;
  const auto& s = stream_of(stream);
  std::size_t i = 0;
  for (auto _ : state) {
    auto r = e.lookup(data.addresses[s[i++ & (kStream - 1)]]);
    if (r) Py_DECREF(py::answer_of(RecordRef::intern(*r).view()));
  }
  state.SetItemsProcessed(state.iterations());
}

void engine_lend(benchmark::State& state, std::string variant, std::string stream) {
  const auto& l = dynamic_cast<const RecordLender&>(*engines_for(variant).cpp);
  const auto& s = stream_of(stream);
  std::size_t i = 0;
  for (auto _ : state) {
    bool found = l.lookup_with(data.addresses[s[i++ & (kStream - 1)]], RecordVisitor{});
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations());
}

void engine_lend_dicts(benchmark::State& state, std::string variant, std::string stream) {
  const auto& l = dynamic_cast<const RecordLender&>(*engines_for(variant).cpp);
  const auto& s = stream_of(stream);
  std::size_t i = 0;
  for (auto _ : state) {
    PyObject* r = nullptr;
    (void)l.lookup_with(data.addresses[s[i++ & (kStream - 1)]],
                        [&](const RecordView& m) noexcept { r = py::answer_of(m); });
    Py_XDECREF(r);
  }
  state.SetItemsProcessed(state.iterations());
}

void text_lookup_dicts(benchmark::State& state, std::string variant, std::string stream) {
  const Engine& e = *engines_for(variant).cpp;
  const auto& s = stream_of(stream);
  std::size_t i = 0;
  for (auto _ : state) {
    Py_ssize_t n;
    const char* text = PyUnicode_AsUTF8AndSize(data.texts[s[i++ & (kStream - 1)]], &n);
    auto r = e.lookup(*parse_address(std::string_view(text, static_cast<std::size_t>(n))));
    if (r) Py_DECREF(py::answer_of(RecordRef::intern(*r).view()));
  }
  state.SetItemsProcessed(state.iterations());
}

void module_call(benchmark::State& state, std::string variant, std::string stream, bool contains) {
  Engines& en = engines_for(variant);
  PyObject* method = contains ? en.contains : en.lookup;
  const auto& s = stream_of(stream);
  std::size_t i = 0;
  for (auto _ : state) {
    PyObject* r = PyObject_Vectorcall(method, &data.texts[s[i++ & (kStream - 1)]], 1, nullptr);
    if (!r) {
      PyErr_Print();
      state.SkipWithError("call failed");
      break;
    }
    Py_DECREF(r);
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
  PyImport_AppendInittab("netrove", PyInit_netrove);
  Py_Initialize();
  if (!netrove::py::init_strings()) return 1;
  load();
  for (const char* v : kVariants) {
    for (const char* s : {"uniform", "skewed"}) {
      const std::string tail = std::string(v) + "/" + s;
      benchmark::RegisterBenchmark(("engine_lookup/" + tail).c_str(), engine_lookup, v, s);
      benchmark::RegisterBenchmark(("engine_lookup_dicts/" + tail).c_str(), engine_lookup_dicts, v, s);
      benchmark::RegisterBenchmark(("engine_lend/" + tail).c_str(), engine_lend, v, s);
      benchmark::RegisterBenchmark(("engine_lend_dicts/" + tail).c_str(), engine_lend_dicts, v, s);
      benchmark::RegisterBenchmark(("text_lookup_dicts/" + tail).c_str(), text_lookup_dicts, v, s);
      benchmark::RegisterBenchmark(("module_lookup/" + tail).c_str(), module_call, v, s, false);
      benchmark::RegisterBenchmark(("module_contains/" + tail).c_str(), module_call, v, s, true);
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
