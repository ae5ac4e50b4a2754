#include <gtest/gtest.h>

#include "core/psnr.h"

TEST(PlanePsnr, IdenticalPlanesGiveExactly100)
{
    const std::uint8_t plane[4] = {1, 2, 3, 4};
    EXPECT_EQ(lorvane::PlanePsnr(plane, plane, 2, 2), 100.0);
}
