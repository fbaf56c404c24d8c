#include <gtest/gtest.h>

#include "kelvor/value.h"

TEST(ValueTest, Placeholder) {
    EXPECT_TRUE(kelvor::Value().isNull());
}
