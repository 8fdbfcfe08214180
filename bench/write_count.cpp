// write_count - the write paths of one engine on the real table, for a
// profiler to count: single inserts, one insert_many, single removes.
//
//   write_count OP [VARIANT] [N]
//     OP       insert | insert_many | insert_records | remove
//              (insert_records: the stored records of insert_many made
//              first, one per AS as the binding makes them, then only the
//              engine's bulk load is measured)
//     VARIANT  default | standard | lockfree | adaptive (the Python variants'
//              engines, built by create_engine as RadixEngine builds them)
//     N        IPv4 prefixes of the table, in file order (default 300000)
//
// Records are the realistic ones of bench/as_records.hpp.  The measured
// part is the noinline function measured(), so that
//
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect='measured*' \
//            build/bench/write_count insert
//
// counts it alone (bench/write_count.sh divides by the operations).  remove
// builds the table with insert_many first and then removes a seeded sample
// of 60,000 of its prefixes (as the peer issue times).  Without a profiler
// the program prints the wall time of the measured part.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "as_records.hpp"
#include "bench_table.hpp"
#include "netrove/engine.hpp"
#include "netrove/factory.hpp"
#include "netrove/text.hpp"
#include "sync/rcu.hpp"

namespace {

using netrove::IpPrefix;
using netrove::Metadata;

std::vector<IpPrefix> read_ipv4(std::size_t limit) {
  const std::string path = netrove::bench::table_path();
  std::vector<IpPrefix> out;
  if (FILE* f = path.empty() ? nullptr : popen(("gzip -dc '" + path + "'").c_str(), "r")) {
    char line[128];
    while (out.size() < limit && std::fgets(line, sizeof line, f)) {
      std::string_view s(line);
      while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.remove_suffix(1);
      if (s.find(':') != std::string_view::npos) continue;
      if (auto p = netrove::parse_prefix(s)) out.push_back(*p);
    }
    pclose(f);
  }
  if (out.empty()) {
    std::fprintf(stderr, "write_count: routing table not found\n");
    std::exit(1);
  }
  return out;
}

netrove::EngineConfig config_for(const std::string& variant) {
  netrove::EngineConfig c;
  if (variant == "default") return c;
  if (variant == "standard") c.engine_type = netrove::EngineType::trie;
  else if (variant == "lockfree") c.engine_type = netrove::EngineType::mapped_trie;
  else if (variant == "adaptive") c.engine_type = netrove::EngineType::sharded_atomic_trie;
  else {
    std::fprintf(stderr, "write_count: unknown variant %s\n", variant.c_str());
    std::exit(2);
  }
  c.cache_ttl_secs = 3600;
  c.cache_capacity = 10000;
  c.enable_cache = true;
  c.node_style = netrove::NodeStyle::atomic;
  return c;
}

std::vector<Metadata> records_for(std::size_t n) {
  std::vector<Metadata> by_as(netrove::bench::kAsCount + 1);
  std::vector<Metadata> out;
  out.reserve(n);
  for (std::uint32_t asn : netrove::bench::asn_per_prefix(n)) {
    if (by_as[asn].value.empty()) by_as[asn] = netrove::bench::as_record(asn);
    out.push_back(by_as[asn]);
  }
  return out;
}

// The measured parts.  noinline, and named alike, for --toggle-collect.
[[gnu::noinline]] void measured_insert(netrove::Engine& e, const std::vector<IpPrefix>& ps,
                                       std::vector<Metadata>& ms) {
  for (std::size_t i = 0; i < ps.size(); ++i) (void)e.insert(ps[i], std::move(ms[i]));
}
[[gnu::noinline]] void measured_insert_many(netrove::Engine& e, const std::vector<IpPrefix>& ps,
                                            std::vector<Metadata>& ms) {
  std::size_t done = 0;
  (void)netrove::insert_many(e, ps.data(), ms.data(), ps.size(), &done);
}
[[gnu::noinline]] void measured_insert_records(netrove::Engine& e, const std::vector<IpPrefix>& ps,
                                               std::vector<netrove::RecordRef>& rs) {
  std::size_t done = 0;
  (void)netrove::insert_records(e, ps.data(), rs.data(), ps.size(), &done);
}
[[gnu::noinline]] std::size_t measured_remove(netrove::Engine& e, const std::vector<IpPrefix>& ps) {
  std::size_t n = 0;
  for (const IpPrefix& p : ps) n += netrove::erase(e, p);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string op = argc > 1 ? argv[1] : "insert";
  const std::string variant = argc > 2 ? argv[2] : "default";
  const std::size_t n = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 300000;
  const std::vector<IpPrefix> prefixes = read_ipv4(n);
  std::vector<Metadata> records = records_for(prefixes.size());
  std::unique_ptr<netrove::Engine> e = netrove::create_engine(config_for(variant));
  std::size_t ops = prefixes.size();
  const auto t0 = std::chrono::steady_clock::now();
  if (op == "insert") {
    measured_insert(*e, prefixes, records);
  } else if (op == "insert_many") {
    measured_insert_many(*e, prefixes, records);
  } else if (op == "insert_records") {
    std::vector<netrove::RecordRef> by_as(netrove::bench::kAsCount + 1), refs;
    const std::vector<std::uint32_t> asn = netrove::bench::asn_per_prefix(prefixes.size());
    for (std::size_t i = 0; i < prefixes.size(); ++i) {
      if (!by_as[asn[i]]) by_as[asn[i]] = netrove::RecordRef::intern(records[i]);
      refs.push_back(by_as[asn[i]]);
    }
    const auto t1 = std::chrono::steady_clock::now();
    measured_insert_records(*e, prefixes, refs);
    std::printf("%s %s: %zu operations, %.1f ns each, %llu stored\n", op.c_str(), variant.c_str(), ops,
                std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t1).count() /
                    static_cast<double>(ops),
                static_cast<unsigned long long>(e->len()));
    return 0;
  } else if (op == "remove") {
    std::size_t done = 0;
    (void)netrove::insert_many(*e, prefixes.data(), records.data(), prefixes.size(), &done);
    std::vector<IpPrefix> sample = prefixes;
    std::shuffle(sample.begin(), sample.end(), std::mt19937_64(3));
    sample.resize(std::min<std::size_t>(60000, sample.size()));
    ops = sample.size();
    const auto t1 = std::chrono::steady_clock::now();
    const std::size_t removed = measured_remove(*e, sample);
    if (removed != sample.size()) std::fprintf(stderr, "write_count: removed %zu of %zu\n", removed, sample.size());
    std::printf("%s %s: %zu operations, %.1f ns each\n", op.c_str(), variant.c_str(), ops,
                std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t1).count() /
                    static_cast<double>(ops));
    return 0;
  } else {
    std::fprintf(stderr, "write_count: unknown op %s\n", op.c_str());
    return 2;
  }
  std::printf("%s %s: %zu operations, %.1f ns each, %llu stored\n", op.c_str(), variant.c_str(), ops,
              std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() /
                  static_cast<double>(ops),
              static_cast<unsigned long long>(e->len()));
  return 0;
}
