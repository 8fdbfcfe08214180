// bench_table.hpp - where every benchmark finds the real routing table.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace netrove::bench {

/// Path of the gzip'd routing table: $NETROVE_BENCH_DATA (bench/run.sh sets
/// it), else ../shared/data/tier1-prefixes.txt.gz from the working folder
/// (the project root), else the shared folder of this workplace.  Empty when
/// none of them exists.
inline std::string table_path() {
  if (const char* env = std::getenv("NETROVE_BENCH_DATA"); env && *env) return env;
  for (const char* p : {"../shared/data/tier1-prefixes.txt.gz", "/work/shared/data/tier1-prefixes.txt.gz"}) {
    if (std::FILE* f = std::fopen(p, "rb")) {
      std::fclose(f);
      return p;
    }
  }
  return {};
}

}  // namespace netrove::bench
