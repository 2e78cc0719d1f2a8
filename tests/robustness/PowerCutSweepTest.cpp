// Power lost at every control transfer of the update, through the entry point, for the flash
// path on a camera running its firmware and on one in ROM code, and DFU modes 1 and 2: the
// camera's power is cut at transfer k before it answers (camera/Power.cpp), and the camera
// powers up as what survived says. The run must end with a failure status, or with
// EFI_SUCCESS only when the camera runs the new image; then the next boot's run, with the
// same capsule and the camera as it powered up, must end with EFI_SUCCESS and the camera
// running the image. Both runs are held to everything the fault sweeps check (no pool left,
// no platform violation, progress and messages as documented).
#include <gtest/gtest.h>

#include <algorithm>

#include "robustness/Sweep.h"

namespace robustness {
namespace {

struct PowerPath {
  const char *name;  // as `make sweep` prints it
  scenario::Camera camera;
  bool romCode;  // the camera starts in ROM code: its flash is untagged
};
const PowerPath kPaths[] = {
    {"flash-firmware", scenario::Camera::Flash, false},
    {"flash-rom-code", scenario::Camera::Flash, true},
    {"dfu-mode-1", scenario::Camera::DfuInterface, false},
    {"dfu-mode-2", scenario::Camera::DfuCapable, false},
};

// The request of transfer k exactly, and how many requests the camera answered before it
// that look the same: the cut rule that meets transfer k of a run that goes as the clean one
// did up to k.
camera::PowerCutRule CutAt(const std::vector<sim::Transfer> &transfers, size_t k) {
  const sim::Transfer &t = transfers[k];
  const auto same = [setup = t.setup, data = t.dataOut](const usb::Setup &s,
                                                       const std::vector<uint8_t> &out) {
    return s.bmRequestType == setup.RequestType && s.bRequest == setup.Request &&
           s.wValue == setup.Value && s.wIndex == setup.Index && s.wLength == setup.Length &&
           out == data;
  };
  size_t before = 0;
  for (size_t j = 0; j < k; j++) {
    const sim::Transfer &u = transfers[j];
    before += u.reachedDevice && same({u.setup.RequestType, u.setup.Request, u.setup.Value,
                                       u.setup.Index, u.setup.Length},
                                      u.dataOut);
  }
  return camera::PowerCutRule{same, before};
}

class PowerCutSweep : public ::testing::TestWithParam<PowerPath> {
 protected:
  // A fresh camera of the path's kind, or the one given (the next boot's).
  RunSetup WithCamera(std::shared_ptr<camera::Camera> same = nullptr) const {
    RunSetup setup;
    const bool romCode = GetParam().romCode;
    setup.makeCamera = [same, romCode](const camera::Config &config) {
      if (same) return same;
      camera::Config c = config;
      c.flash.tagged = !romCode;
      return std::make_shared<camera::Camera>(c);
    };
    return setup;
  }

  // The cut at transfer k, then the next boot. Returns whether the next run recovered, and
  // sets falseSuccess when the cut run reported EFI_SUCCESS without the image.
  bool CutAndBootAgain(const capfmt::Bytes &capsule, const std::vector<sim::Transfer> &clean,
                       size_t k, bool discovery, const std::string &fault, bool *falseSuccess) {
    const SweepCase sweepCase{GetParam().name, scenario::Path::Hob, GetParam().camera};
    RunSetup first = WithCamera();
    const camera::PowerCutRule rule = CutAt(clean, k);
    first.adjustCamera = [rule](camera::Camera &cam) { cam.Misbehave().powerCut = rule; };
    const SweepRun cut = RunCase(sweepCase, capsule, first);
    EXPECT_EQ(cut.camera->PowerCuts(), 1u) << fault << ": the power was not cut";
    const Ending ending = ExpectSound(cut, fault);
    if (GetParam().camera != scenario::Camera::Flash && !discovery) {
      // The DFU procedure sends nothing through an interface whose device has left.
      EXPECT_EQ(cut.outcome.staleCalls, 0u) << fault;
    }
    staleCalls_ += cut.outcome.staleCalls;
    *falseSuccess = cut.outcome.status == EFI_SUCCESS && !cut.outcome.cameraHoldsImage;

    cut.camera->PowerCycle(0);  // the machine's next boot: the camera as it powered up
    const SweepRun next = RunCase(sweepCase, capsule, WithCamera(cut.camera));
    const std::string after = fault + ", first run ended '" + Name(ending) + "'; next run";
    const bool recovered = ExpectSound(next, after) == Ending::Updated;
    resumedInRom_ += std::count(next.outcome.log.begin(), next.outcome.log.end(),
                                "No camera matched, DFU ROM device found: resume the "
                                "interrupted update\r\n");
    EXPECT_TRUE(recovered) << after << " did not finish the update: status 0x" << std::hex
                           << next.outcome.status << ", " << next.outcome.cameraState;
    return recovered;
  }
  size_t resumedInRom_ = 0;  // next runs that found the camera stranded in its ROM device
  size_t staleCalls_ = 0;    // calls through interfaces whose device had left, all cut runs
};

TEST_P(PowerCutSweep, EveryCutPointIsFinishedByTheNextRun) {
  const PowerPath &path = GetParam();
  const SweepCase sweepCase{path.name, scenario::Path::Hob, path.camera};
  const capfmt::Bytes capsule = scenario::SampleCapsule(sweepCase.path, SweepPayloadLength());
  const SweepRun clean = RunCase(sweepCase, capsule, WithCamera());
  ASSERT_EQ(ExpectSound(clean, "clean run"), Ending::Updated);
  ASSERT_TRUE(clean.reachedLoop);
  ASSERT_EQ(clean.camera->RunsRomCode(), false);  // the new image started
  const std::vector<sim::Transfer> &transfers = clean.outcome.transferLog;

  size_t points = 0, recovered = 0, falseSuccesses = 0;
  for (size_t k = 0; k < transfers.size(); k++) {
    if (!transfers[k].reachedDevice) continue;
    const bool discovery = k < clean.transfersBeforeLoop;
    const std::string fault = std::string(path.name) + ": power cut at transfer " +
                              std::to_string(k) + " of " + std::to_string(transfers.size()) + " (" +
                              SetupText(transfers[k].setup) + (discovery ? ", discovery)" : ")");
    bool falseSuccess = false;
    const bool ok = CutAndBootAgain(capsule, transfers, k, discovery, fault, &falseSuccess);
    // A camera that leaves the bus during discovery is no camera to this run: the
    // documented no-camera ending (checked by ExpectSound), not a cut point of the update.
    if (discovery) continue;
    EXPECT_FALSE(falseSuccess) << fault << ": EFI_SUCCESS without the new image";
    points++;
    recovered += ok;
    falseSuccesses += falseSuccess;
  }
  ReportLine("power-cut " + std::string(path.name) + ": " + std::to_string(points) +
             " cut points, " + std::to_string(recovered) + " recovered on the next run, " +
             std::to_string(falseSuccesses) + " reported success without the image");
  ::testing::Test::RecordProperty("cut_points", static_cast<int>(points));
  ::testing::Test::RecordProperty("stale_calls", static_cast<int>(staleCalls_));
  EXPECT_GT(points, 0u);
  if (path.camera != scenario::Camera::Flash) {  // cuts in the download strand the camera
    EXPECT_GT(resumedInRom_, 0u);
  }
  EXPECT_EQ(recovered, points);
  EXPECT_EQ(falseSuccesses, 0u);
}

INSTANTIATE_TEST_SUITE_P(EntryPoint, PowerCutSweep, ::testing::ValuesIn(kPaths),
                         [](const ::testing::TestParamInfo<PowerPath> &info) {
                           std::string name;
                           for (const char *c = info.param.name; *c != '\0'; c++) {
                             if (*c != '-') name += *c;
                           }
                           return name;
                         });

}  // namespace
}  // namespace robustness
