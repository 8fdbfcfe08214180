// RecordsByText against a std::map: thousands of texts (the table grows
// many times) met in random order, some that are no record, every share
// handed out counted once the table goes.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "netrove/metadata.hpp"
#include "store/records_by_text.hpp"
#include "sync/rcu.hpp"

namespace {

using netrove::RecordRef;

TEST(RecordsByText, EachTextIsMadeOnceAndEveryShareIsCounted) {
  std::mt19937_64 rng(5);
  std::vector<std::string> texts;
  for (int i = 0; i < 9000; ++i) texts.push_back(std::to_string(rng() % 20000) + std::string(rng() % 40, 'x'));
  texts.insert(texts.end(), {"", "x", "bad"});
  netrove::rcu::drain();
  const auto before = netrove::record_census().records;
  std::map<std::string, int> made;
  std::map<std::string, std::uint32_t> uses;
  std::vector<RecordRef> out;
  {
    netrove::RecordsByText table([&](std::string_view t) {
      ++made[std::string(t)];
      return t.rfind("bad", 0) == 0 ? RecordRef() : RecordRef::intern(netrove::Metadata{std::string(t), {}});
    });
    for (int i = 0; i < 60000; ++i) {
      const std::string& t = texts[rng() % texts.size()];
      const std::uint32_t e = table.find_or_add(t);
      ASSERT_EQ(table.is_record(e), t != "bad") << t;
      ASSERT_EQ(table.find_or_add(t), e);
      if (!table.is_record(e)) continue;
      out.push_back(table.share(e));
      ASSERT_EQ(out.back().view().value(), t);
      ++uses[t];
    }
    for (const auto& [t, n] : made) EXPECT_EQ(n, 1) << t;
  }
  // The table's own shares are gone; each record has one per handle.
  for (const RecordRef& r : out) EXPECT_EQ(r.get()->owners.load(), uses[std::string(r.view().value())]);
  out.clear();
  netrove::rcu::drain();
  EXPECT_EQ(netrove::record_census().records, before);
}

}  // namespace
