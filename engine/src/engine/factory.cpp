// create_engine and build_local: which engine every configuration yields.
#include "engine/factory_internal.hpp"

#include <sched.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "art/adaptive_engine.hpp"
#include "cache/cache.hpp"
#include "store/hybrid_engine.hpp"
#include "sync/panic.hpp"
#include "trie/trie_engine.hpp"

namespace netrove {

std::uint64_t processor_table_a(std::optional<std::uint64_t> n) noexcept {
  if (!n || *n < 3) return 2;
  if (*n <= 4) return 8;
  if (*n <= 8) return 16;
  if (*n <= 16) return 32;
  return 64;
}

std::uint64_t processor_table_b(std::optional<std::uint64_t> n) noexcept {
  if (!n || *n < 3) return 2;
  if (*n <= 4) return 4;
  if (*n <= 8) return 8;
  return 16;
}

std::uint64_t memory_cap(std::optional<std::uint64_t> bytes) noexcept {
  std::uint64_t triple;
  if (!bytes || __builtin_mul_overflow(*bytes, std::uint64_t{3}, &triple)) return 64;
  const std::uint64_t mib = triple >> 22;
  if (mib <= 512) return 2;
  if (mib <= 2048) return 8;
  if (mib <= 4096) return 16;
  if (mib <= 8192) return 32;
  return 64;
}

std::uint64_t local_shard_count(EngineType engine_type, std::optional<std::uint64_t> shards,
                                std::optional<std::uint64_t> processors,
                                std::optional<std::uint64_t> available_bytes) noexcept {
  if (engine_type == EngineType::mapped_trie) return 1;
  if (shards) return *shards;
  switch (engine_type) {
    case EngineType::sharded_trie: return processor_table_a(processors);
    case EngineType::sharded_atomic_trie: return std::min(processor_table_a(processors), memory_cap(available_bytes));
    case EngineType::art: return processor_table_b(processors);
    default: return 1;
  }
}

namespace {

// CPU quota of the process's cgroup, in whole processors (rounded up), or
// nothing when unlimited or unreadable.  cgroup v2 first, then v1.
std::optional<std::uint64_t> cgroup_cpu_limit() {
  std::ifstream self("/proc/self/cgroup");
  std::string line, v2_path, v1_path;
  while (std::getline(self, line)) {
    if (line.rfind("0::", 0) == 0) v2_path = line.substr(3);
    const auto c = line.find(':');
    const auto c2 = line.find(':', c + 1);
    if (c != std::string::npos && c2 != std::string::npos) {
      const std::string ctrls = line.substr(c + 1, c2 - c - 1);
      if (ctrls.find("cpu") != std::string::npos && ctrls.find("cpuacct") != std::string::npos) v1_path = line.substr(c2 + 1);
      else if (ctrls == "cpu") v1_path = line.substr(c2 + 1);
    }
  }
  auto ceil_div = [](std::uint64_t q, std::uint64_t p) -> std::optional<std::uint64_t> {
    if (p == 0) return std::nullopt;
    return std::max<std::uint64_t>(1, (q + p - 1) / p);
  };
  if (!v2_path.empty()) {
    // Walk from the process's group up to the root; the tightest limit wins.
    std::optional<std::uint64_t> best;
    std::string path = v2_path;
    for (;;) {
      std::ifstream f("/sys/fs/cgroup" + path + "/cpu.max");
      std::string quota;
      std::uint64_t period = 0;
      if (f >> quota >> period && quota != "max") {
        if (auto n = ceil_div(std::stoull(quota), period); n && (!best || *n < *best)) best = n;
      }
      if (path.empty() || path == "/") break;
      const auto slash = path.rfind('/');
      path = slash == 0 || slash == std::string::npos ? std::string() : path.substr(0, slash);
    }
    if (best) return best;
  }
  for (const std::string& base : {std::string("/sys/fs/cgroup/cpu,cpuacct"), std::string("/sys/fs/cgroup/cpu")}) {
    std::ifstream q(base + v1_path + "/cpu.cfs_quota_us"), p(base + v1_path + "/cpu.cfs_period_us");
    long long quota = -1, period = 0;
    if (q >> quota && p >> period && quota > 0 && period > 0)
      return ceil_div(static_cast<std::uint64_t>(quota), static_cast<std::uint64_t>(period));
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> available_processors() noexcept {
  try {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return std::nullopt;
    std::uint64_t n = static_cast<std::uint64_t>(CPU_COUNT(&set));
    if (n == 0) return std::nullopt;
    if (auto limit = cgroup_cpu_limit(); limit && *limit < n) n = *limit;
    return n;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<std::uint64_t> available_memory_bytes() noexcept {
  std::FILE* f = std::fopen("/proc/meminfo", "r");
  if (!f) return std::nullopt;
  char line[256];
  std::optional<std::uint64_t> out;
  while (std::fgets(line, sizeof line, f)) {
    std::uint64_t kb;
    if (std::sscanf(line, "MemAvailable: %" SCNu64 " kB", &kb) == 1) {
      std::uint64_t bytes;
      out = __builtin_mul_overflow(kb, std::uint64_t{1024}, &bytes) ? UINT64_MAX : bytes;
      break;
    }
  }
  std::fclose(f);
  return out;
}

StartupError::StartupError(std::string store_message)
    : std::runtime_error("Failed to initialize HybridEngine: " + quote_escaped(store_message)),
      store_message_(std::move(store_message)) {}

std::string quote_escaped(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

namespace {

LocalEngine build_trie(NodeKind kind, std::uint64_t shards) {
  const bool compressed = is_compressed(kind);
  if (shards <= 1) {
    auto e = std::make_shared<TrieEngine>(kind);
    return compressed ? LocalEngine::compressed(std::move(e)) : LocalEngine::uncompressed(std::move(e));
  }
  // One trie, shared by every shard; each shard keeps its own counters.
  auto group = std::make_shared<ShardedTrie>();
  group->shards.reserve(shards);
  auto first = std::make_shared<TrieEngine>(kind);
  group->shards.push_back(first);
  for (std::uint64_t i = 1; i < shards; ++i) group->shards.push_back(std::make_shared<TrieEngine>(kind, first->roots()));
  group->shard_count = shards;
  group->shard_bits = 32;
  return compressed ? LocalEngine::sharded_compressed(std::move(group))
                    : LocalEngine::sharded_uncompressed(std::move(group));
}

}  // namespace

LocalEngine build_local(EngineType engine_type, NodeStyle node_style, bool path_compression,
                        std::optional<std::uint64_t> shards) {
  if (code(engine_type) > 5)
    throw std::invalid_argument("engine_type must be 0 to 5, got " + std::to_string(code(engine_type)));
  if (code(node_style) > 3) throw std::invalid_argument("node_style must be 0 to 3, got " + std::to_string(code(node_style)));
  if (engine_type == EngineType::trie_fixed_shards && !shards)
    throw std::invalid_argument("engine_type 5 needs an explicit shard count");

  // 1. Shard count; the processors and memory are read only when needed.
  const bool derived = engine_type != EngineType::mapped_trie && !shards;
  const bool wants_cpus = derived && (engine_type == EngineType::sharded_trie ||
                                      engine_type == EngineType::sharded_atomic_trie || engine_type == EngineType::art);
  const std::uint64_t n =
      local_shard_count(engine_type, shards, wants_cpus ? available_processors() : std::nullopt,
                        derived && engine_type == EngineType::sharded_atomic_trie ? available_memory_bytes() : std::nullopt);

  // 2. Adaptive radix tree.
  if (engine_type == EngineType::art) {
    if (n <= 1) return LocalEngine::adaptive(std::make_shared<AdaptiveEngine>());
    auto group = std::make_shared<ShardedAdaptive>();
    group->shards = std::vector<AdaptiveEngine>(n);
    group->shard_count = n;
    group->shard_bits = 32;
    return LocalEngine::sharded_adaptive(std::move(group));
  }

  // 3. Tries: the node kind.
  std::uint8_t kind;
  if (engine_type == EngineType::mapped_trie) kind = path_compression ? 7 : 3;
  else if (engine_type == EngineType::sharded_atomic_trie) kind = path_compression ? 5 : 1;
  else kind = static_cast<std::uint8_t>(path_compression ? 4 + code(node_style) : code(node_style));
  return build_trie(static_cast<NodeKind>(kind), n);
}

std::unique_ptr<Engine> create_engine(EngineConfig config) {
  if (config.enable_redis) {
    std::string error;
    std::unique_ptr<HybridEngine> hybrid = HybridEngine::start(config, error);
    if (!hybrid) throw StartupError(std::move(error));
    return hybrid;
  }
  LocalEngine local = build_local(config.engine_type, config.node_style, config.path_compression, config.shards);
  if (config.enable_cache) {
    return std::make_unique<CachedEngine>(config.cache_ttl_secs, config.cache_capacity,
                                          std::make_shared<LocalEngine>(std::move(local)));
  }
  return std::make_unique<LocalEngine>(std::move(local));
}

}  // namespace netrove
