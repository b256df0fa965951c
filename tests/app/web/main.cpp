#include "identity_test_support.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    velurio::test::ensureApplication();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
