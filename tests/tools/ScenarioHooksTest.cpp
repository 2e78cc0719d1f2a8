// The scenario runner's hooks and figures: the camera a test makes or adjusts, faults
// injected right before the entry point, a run stopped at its stall budget, what the camera
// is judged to hold, and the counts the bench prints.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/Driver.h"
#include "tools/Scenario.h"

namespace {

using scenario::Camera;
using scenario::Path;

constexpr size_t kPayload = 3 * 4096 + 1000;

capfmt::Bytes Sample() { return scenario::SampleCapsule(Path::Hob, kPayload); }

TEST(ScenarioHooks, FaultInjectedBeforeTheEntryPointHitsTheRun) {
  scenario::Options options;
  size_t callsBefore = 99;
  options.beforeEntry = [&](sim::Platform &p) {
    callsBefore = p.AllocationCalls();
    p.FailAllocation(1);  // on the capsule HOB path the record is the first allocation
  };
  const scenario::Outcome outcome = scenario::Run(Sample(), options);
  EXPECT_EQ(callsBefore, 0u);
  EXPECT_EQ(outcome.status, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(outcome.log.back(), "Out of resource to allocate FMP private data \n");
  EXPECT_EQ(outcome.allocationSizes, std::vector<size_t>{sizeof(FmpPrivateData)});
  EXPECT_TRUE(outcome.transferLog.empty());
  EXPECT_EQ(outcome.poolBlocksLeft, 0u);
}

TEST(ScenarioHooks, RunPastItsStallBudgetIsStoppedAndSaysSo) {
  scenario::Options options;
  options.camera = Camera::DfuInterface;
  options.stallBudgetUs = 1'000'000;  // the ROM device alone takes a second to appear
  options.adjustCamera = [](camera::Camera &c) { c.Misbehave().dfu.romNeverAppears = true; };
  const scenario::Outcome outcome = scenario::Run(Sample(), options);
  EXPECT_FALSE(outcome.returned);
  EXPECT_EQ(outcome.status, EFI_ABORTED);
  ASSERT_EQ(outcome.violations.size(), 1u);
  EXPECT_THAT(outcome.violations[0], ::testing::HasSubstr("virtual time budget exceeded"));
  EXPECT_LE(outcome.virtualUs, 1'000'000u);
  EXPECT_FALSE(outcome.cameraHoldsImage);
}

TEST(ScenarioHooks, MadeCameraIsTheOneOnTheBusAndIsJudged) {
  std::shared_ptr<camera::Camera> made;
  scenario::Options options;
  options.makeCamera = [&](const camera::Config &config) {
    made = std::make_shared<camera::Camera>(config);
    return made;
  };
  const scenario::Outcome outcome = scenario::Run(Sample(), options);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(outcome.status, EFI_SUCCESS);
  EXPECT_TRUE(outcome.cameraHoldsImage);
  EXPECT_GT(made->Flash().PagePrograms(), 0u);
}

TEST(ScenarioHooks, DfuCapableCameraUpdatedByTheFlashPathHoldsTheImage) {
  // The chip query is refused, so the camera is taken for a flash-path one: its flash then
  // holds the image, and that counts as holding it.
  scenario::Options options;
  options.camera = Camera::DfuCapable;
  options.adjustCamera = [](camera::Camera &c) {
    c.Misbehave().stalls.push_back({camera::InformationPiece(0), 0, 1});
  };
  const scenario::Outcome outcome = scenario::Run(Sample(), options);
  EXPECT_EQ(outcome.status, EFI_SUCCESS);
  EXPECT_TRUE(outcome.cameraHoldsImage) << outcome.cameraState;
  EXPECT_THAT(outcome.cameraState, ::testing::HasSubstr("flash holds the image"));
  EXPECT_THAT(outcome.cameraState, ::testing::HasSubstr("no image received by DFU"));
}

TEST(ScenarioHooks, FiguresCountTheBytesStallsAndPoolOfTheRun) {
  scenario::Options options;
  const scenario::Outcome outcome = scenario::Run(Sample(), options);
  ASSERT_EQ(outcome.status, EFI_SUCCESS);
  uint64_t out = 0, in = 0;
  for (const sim::Transfer &t : outcome.transferLog) {
    out += t.dataOut.size();
    in += t.dataIn.size();
  }
  EXPECT_EQ(outcome.bytesOut, out);
  EXPECT_EQ(outcome.bytesIn, in);
  EXPECT_GE(outcome.bytesOut, kPayload);  // written once
  EXPECT_GE(outcome.bytesIn, kPayload);   // and read back
  uint64_t stalled = 0;
  for (uint64_t s : outcome.stalls) stalled += s;
  EXPECT_EQ(stalled, outcome.virtualUs);
  EXPECT_EQ(outcome.allocations, outcome.allocationSizes.size());
  // The read-back buffer is the largest block, and was live with the record.
  EXPECT_GE(outcome.peakPoolBytes, kPayload + sizeof(FmpPrivateData));
  EXPECT_TRUE(outcome.poolLeaks.empty());
}

}  // namespace
