// Entry point of every test program. Wine runs tests without a console
// codepage worth trusting, so GoogleTest's colours are switched off.
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::GTEST_FLAG(color) = "no";
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
