#include <gtest/gtest.h>

#include "engine/factory_internal.hpp"

TEST(Factory, TablesFollowTheirBands) {
  EXPECT_EQ(netrove::processor_table_a(2), 2u);
  EXPECT_EQ(netrove::processor_table_a(12), 32u);
}
