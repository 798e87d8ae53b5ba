#include "run_tool.h"
#include <gtest/gtest.h>
TEST(Smoke, Md5OfEmptyAndAbc)
{
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
}
