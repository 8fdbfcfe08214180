// Built against the installed headers and library only.
#include <netrove/netrove.hpp>

#include <cstdio>

int main() {
  auto engine = netrove::create_engine(netrove::EngineConfig{});
  netrove::Metadata record;
  record.value = "allow";
  if (!engine->insert(*netrove::parse_prefix("10.0.0.0/8"), record).ok()) return 1;
  auto hit = engine->lookup(*netrove::parse_address("10.1.2.3"));
  auto miss = engine->lookup(*netrove::parse_address("11.0.0.1"));
  if (!hit || hit->value != "allow" || miss) return 2;
  std::puts("consumer ok");
  return 0;
}
