#include <gtest/gtest.h>

#include <cmath>

#include "orv_linalg.h"

TEST(Dot, FusedStepIsVisible) {
  const f64 a[2] = {1.0, 1.0 + 0x1p-30};
  const f64 b[2] = {-1.0, 1.0 - 0x1p-30};
  EXPECT_EQ(orv_dot(a, b, 2), -0x1p-60);
}
