#include <gtest/gtest.h>

#include "kalman.h"
