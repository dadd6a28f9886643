#include <gtest/gtest.h>

#include "status.h"

TEST(Smoke, StatusCodesAreDistinct) { EXPECT_NE(RETRIEVAL_OK, RETRIEVAL_FAILED); }
