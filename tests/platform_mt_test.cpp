#include <gtest/gtest.h>

#include "encoder/platform/platform.h"

TEST(platform, null_lock_and_condition_are_refused)
{
    EXPECT_EQ(mutex_init(nullptr), 22);
    EXPECT_EQ(cond_init(nullptr), 22);
    EXPECT_EQ(mutex_destroy(nullptr), 22);
}
