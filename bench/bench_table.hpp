// bench_table.hpp - where every benchmark finds the real routing table, and
// its prefixes read out of it.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "netrove/types.hpp"

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

/// Every prefix of the table at table_path(), in file order: lines
/// "address/length" (either family); other lines are skipped.  Ends the
/// program with "<who>: routing table not found" when there is no table or
/// no prefix in it.
inline std::vector<IpPrefix> read_table_prefixes(const char* who) {
  const std::string path = table_path();
  std::vector<IpPrefix> out;
  if (std::FILE* f = path.empty() ? nullptr : popen(("gzip -dc '" + path + "'").c_str(), "r")) {
    char line[128];
    while (std::fgets(line, sizeof line, f)) {
      std::string s(line);
      while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
      const auto slash = s.find('/');
      if (slash == std::string::npos) continue;
      IpPrefix p;
      const std::string addr = s.substr(0, slash);
      p.length = static_cast<std::uint8_t>(std::stoi(s.substr(slash + 1)));
      if (inet_pton(AF_INET, addr.c_str(), p.address.data()) == 1) p.family = kIpv4;
      else if (inet_pton(AF_INET6, addr.c_str(), p.address.data()) == 1) p.family = kIpv6;
      else continue;
      out.push_back(p);
    }
    pclose(f);
  }
  if (!out.empty()) return out;
  std::fprintf(stderr, "%s: routing table not found\n", who);
  std::exit(1);
}

}  // namespace netrove::bench
