// Every test binary runs inside the sandbox's private mount namespace.
#include <gtest/gtest.h>

#include "support/sandbox.h"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (!testing::GTEST_FLAG(list_tests)) {
        sandbox::enter();
    }
    return RUN_ALL_TESTS();
}
