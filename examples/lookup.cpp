// A C++ program using the installed engine library: load a few prefixes and
// look addresses up.
#include <netrove/netrove.hpp>

#include <cstdio>

int main() {
  netrove::EngineConfig config;  // an uncached compressed trie
  std::unique_ptr<netrove::Engine> engine = netrove::create_engine(std::move(config));

  const char* table[][2] = {{"10.0.0.0/8", "corporate"}, {"10.1.0.0/16", "lab"}, {"2001:db8::/32", "docs"}};
  for (auto& [cidr, value] : table) {
    netrove::Metadata record;
    record.value = value;
    record.attributes["source"] = "example";
    if (!engine->insert(*netrove::parse_prefix(cidr), std::move(record)).ok()) return 1;
  }
  for (const char* ip : {"10.1.2.3", "10.200.0.1", "2001:db8::1", "192.0.2.1"}) {
    auto match = engine->lookup(*netrove::parse_address(ip));
    std::printf("%-12s -> %s\n", ip, match ? match->value.c_str() : "(no match)");
  }
  std::printf("%llu prefixes stored\n", static_cast<unsigned long long>(engine->len()));
  return 0;
}
