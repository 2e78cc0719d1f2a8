// Whole update runs through the driver's entry point, one per camera and capsule path, as
// kvr-scenario and make demo run them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "tools/Scenario.h"

namespace {

using scenario::Camera;
using scenario::Path;
using ::testing::ElementsAre;

struct Case {
  Path path;
  Camera camera;
};

class UpdateScenarioTest : public ::testing::TestWithParam<Case> {};

TEST_P(UpdateScenarioTest, CameraEndsWithTheNewFirmwareAndOnlyTheRecordStaysAllocated) {
  scenario::Options options;
  options.path = GetParam().path;
  options.camera = GetParam().camera;
  scenario::Outcome outcome = scenario::Run(scenario::SampleCapsule(options.path), options);
  EXPECT_EQ(outcome.status, EFI_SUCCESS) << outcome.cameraState;
  EXPECT_TRUE(outcome.cameraHoldsImage) << outcome.cameraState;
  ASSERT_FALSE(outcome.progress.empty());
  EXPECT_EQ(outcome.progress.front(), 10u);
  EXPECT_EQ(outcome.progress.back(), 100u);
  EXPECT_EQ(outcome.poolBlocksLeft, 0u);  // the run frees the record and its descriptors
  EXPECT_EQ(outcome.log.back(), "Korvane camera Flash driver entry <=\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    EveryPathAndWay, UpdateScenarioTest,
    ::testing::Values(Case{Path::Hob, Camera::Flash}, Case{Path::CapsuleOnRam, Camera::Flash},
                      Case{Path::Insyde, Camera::Flash}, Case{Path::Hob, Camera::DfuInterface},
                      Case{Path::Hob, Camera::DfuCapable},
                      Case{Path::Insyde, Camera::DfuInterface},
                      Case{Path::CapsuleOnRam, Camera::DfuCapable}));

TEST(UpdateScenario, NoCameraOrOtherIdsUpdateNothing) {
  for (Camera camera : {Camera::None, Camera::OtherIds}) {
    scenario::Options options;
    options.camera = camera;
    scenario::Outcome outcome = scenario::Run(scenario::SampleCapsule(Path::Hob), options);
    EXPECT_EQ(outcome.status, EFI_SUCCESS);  // the progress protocol's lookup status
    EXPECT_THAT(outcome.progress, ElementsAre(10u));
    EXPECT_FALSE(outcome.cameraHoldsImage);
    options.progressProtocol = false;
    EXPECT_EQ(scenario::Run(scenario::SampleCapsule(Path::Hob), options).status, EFI_NOT_FOUND);
  }
}

TEST(UpdateScenario, StallingCameraFailsWithDeviceErrorAndNeverReportsCompletion) {
  scenario::Options options;
  options.camera = Camera::Stalling;
  scenario::Outcome outcome = scenario::Run(scenario::SampleCapsule(Path::Hob), options);
  EXPECT_EQ(outcome.status, EFI_DEVICE_ERROR);
  EXPECT_FALSE(outcome.cameraHoldsImage);
  EXPECT_THAT(outcome.progress, ElementsAre(10u));
  EXPECT_EQ(outcome.poolBlocksLeft, 0u);
}

}  // namespace
