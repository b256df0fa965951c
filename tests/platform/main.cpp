#include <gtest/gtest.h>

#include "identity_test_support.h"

int main(int argc, char** argv) {
    velurio::test::ensureApplication();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
