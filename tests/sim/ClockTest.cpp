// The virtual clock: Stall never sleeps, and a wait past the budget ends the test.
#include <chrono>

#include "platform/Platform.h"
#include "support/SimTest.h"

namespace {

using ClockTest = SimTest;

TEST_F(ClockTest, StallAdvancesVirtualTimeWithoutSleeping) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(BootServices->Stall(10ULL * 60 * 1000 * 1000), EFI_SUCCESS);
  EXPECT_EQ(BootServices->Stall(250), EFI_SUCCESS);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(P.NowUs(), 10ULL * 60 * 1000 * 1000 + 250);
  EXPECT_EQ(P.Stalls(), (std::vector<uint64_t>{10ULL * 60 * 1000 * 1000, 250}));
}

TEST_F(ClockTest, AdvanceTimeMovesTheClockWithoutRecordingAStall) {
  P.AdvanceTime(1000);
  EXPECT_EQ(P.NowUs(), 1000u);
  EXPECT_TRUE(P.Stalls().empty());
}

TEST_F(ClockTest, StallPastTheBudgetIsAViolationAndEndsTheWait) {
  P.SetStallBudgetUs(1000);
  EXPECT_EQ(BootServices->Stall(600), EFI_SUCCESS);
  EXPECT_THROW(BootServices->Stall(600), sim::TimeBudgetExceeded);
  EXPECT_EQ(P.NowUs(), 600u);
  ASSERT_EQ(P.Violations().size(), 1u);
  EXPECT_EQ(P.Violations()[0].rfind("virtual time budget exceeded", 0), 0u);
  P.ClearViolations();
}

TEST_F(ClockTest, DefaultBudgetAllowsThirtyMinutes) {
  EXPECT_EQ(BootServices->Stall(30ULL * 60 * 1000 * 1000), EFI_SUCCESS);
  EXPECT_THROW(BootServices->Stall(1), sim::TimeBudgetExceeded);
  P.ClearViolations();
}

}  // namespace
