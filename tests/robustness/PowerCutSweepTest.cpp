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
#include <cstring>

#include "dfu/Dfu.h"

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

// The request of transfer k exactly, and how many requests the camera (on the port of
// transfer k) answered before it that look the same: the cut rule that meets transfer k of
// a run that goes as the clean one did up to k.
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
    before += u.reachedDevice && u.port == t.port &&
              same({u.setup.RequestType, u.setup.Request, u.setup.Value, u.setup.Index,
                    u.setup.Length},
                   u.dataOut);
  }
  return camera::PowerCutRule{same, before};
}

// The other device on the bus: another model of the chip family (3B5A:9999, a DFU-capable
// chip), running its firmware.
std::shared_ptr<camera::Camera> Bystander() {
  camera::Config config;
  config.device.idProduct = 0x9999;
  camera::InformationFields fields;
  fields.chipId = 0x4C15;
  config.information = camera::DeviceInformation(fields);
  return std::make_shared<camera::Camera>(config);
}

// Whether anything of an update reached the bystander: the allow-update request, a detach,
// a restart into update mode, an erase or a page program.
bool Written(const camera::Camera &other) {
  return other.UpdateAllowed() || other.DfuDetaches() != 0 || other.ResetsToUpdateMode() != 0 ||
         other.Flash().Erases() != 0 || other.Flash().PagePrograms() != 0 ||
         other.CurrentPersona() != camera::Camera::Persona::Runtime;
}

// One cut point: whether the next run recovered, whether the cut run reported success
// without the image, whether either run wrote the bystander, and how the next run ended.
struct CutResult {
  bool recovered = false;
  bool falseSuccess = false;
  bool wroteOther = false;
  Ending next = Ending::UpdateFailed;
};

// The counts of one line of `make sweep`.
struct CutCount {
  size_t points = 0, recovered = 0, falseSuccesses = 0, wroteOther = 0, stranded = 0;
  void Add(const CutResult &r) {
    points++;
    recovered += r.recovered;
    falseSuccesses += r.falseSuccess;
    wroteOther += r.wroteOther;
    stranded += r.next == Ending::Stranded;
  }
  std::string Line(const std::string &what) const {
    return "power-cut " + what + ": " + std::to_string(points) + " cut points, " +
           std::to_string(recovered) + " recovered on the next run, " +
           std::to_string(falseSuccesses) + " reported success without the image, " +
           std::to_string(wroteOther) + " wrote a device that is not the camera";
  }
};

class PowerCutSweep : public ::testing::TestWithParam<PowerPath> {
 protected:
  // A fresh camera of the path's kind, or the one given (the next boot's), with the
  // bystander and the variable store the two runs share.
  RunSetup WithCamera(std::shared_ptr<camera::Camera> same,
                      const std::shared_ptr<camera::Camera> &other,
                      std::vector<sim::Platform::StoredVariable> *store, bool locked) const {
    RunSetup setup;
    const bool romCode = GetParam().romCode;
    setup.makeCamera = [same, romCode](const camera::Config &config) {
      if (same) return same;
      camera::Config c = config;
      c.flash.tagged = !romCode;
      return std::make_shared<camera::Camera>(c);
    };
    setup.others = {other};
    setup.nonVolatile = store;
    setup.setVariableFailure = locked ? EFI_WRITE_PROTECTED : EFI_SUCCESS;
    return setup;
  }

  // The cut at transfer k, then the next boot, with the bystander on the bus and the
  // variable store (locked or not) carried from the one to the other.
  CutResult CutAndBootAgain(const capfmt::Bytes &capsule, const std::vector<sim::Transfer> &clean,
                            size_t k, bool locked, const std::string &fault) {
    const SweepCase sweepCase{GetParam().name, scenario::Path::Hob, GetParam().camera};
    std::vector<sim::Platform::StoredVariable> store;
    const std::shared_ptr<camera::Camera> other = Bystander();
    RunSetup first = WithCamera(nullptr, other, &store, locked);
    const camera::PowerCutRule rule = CutAt(clean, k);
    first.adjustCamera = [rule](camera::Camera &cam) { cam.Misbehave().powerCut = rule; };
    const SweepRun cut = RunCase(sweepCase, capsule, first);
    EXPECT_EQ(cut.camera->PowerCuts(), 1u) << fault << ": the power was not cut";
    // A call through an interface whose device has left would read freed memory: the bus
    // frees it, and AddressSanitizer reports the read.
    const Ending ending = ExpectSound(cut, fault);
    CutResult result;
    result.falseSuccess = cut.outcome.status == EFI_SUCCESS && !cut.outcome.cameraHoldsImage;
    result.wroteOther = Written(*other);

    // The machine's next boot: the camera and the bystander as they power up, the store as
    // the cut left it.
    cut.camera->PowerCycle(0);
    other->PowerCycle(0);
    const SweepRun next = RunCase(sweepCase, capsule, WithCamera(cut.camera, other, &store, locked));
    const std::string after = fault + ", first run ended '" + Name(ending) + "'; next run";
    result.next = ExpectSound(next, after);
    result.recovered = result.next == Ending::Updated;
    result.wroteOther = result.wroteOther || Written(*other);
    EXPECT_FALSE(result.wroteOther) << after << ": the bystander was written";
    resumedInRom_ += std::count(next.outcome.log.begin(), next.outcome.log.end(),
                                "No camera matched, DFU ROM device found: resume the "
                                "interrupted update\r\n");
    const EFI_GUID guid = DFU_IN_FLIGHT_GUID;
    const bool recordLeft = std::any_of(store.begin(), store.end(), [&](const auto &v) {
      return v.name == DFU_IN_FLIGHT_NAME && std::memcmp(&v.guid, &guid, sizeof guid) == 0;
    });
    if (result.recovered) {
      EXPECT_FALSE(recordLeft) << after << ": an in-flight record outlived the update";
    } else if (locked) {
      // Without a record the camera stranded in its ROM device is left alone, as any ROM
      // device nobody can vouch for: not written, not reported as updated.
      EXPECT_EQ(result.next, Ending::Stranded) << after;
      EXPECT_EQ(cut.camera->CurrentPersona(), camera::Camera::Persona::DfuRom) << after;
    } else {
      ADD_FAILURE() << after << " did not finish the update: status 0x" << std::hex
                    << next.outcome.status << ", " << next.outcome.cameraState;
    }
    return result;
  }

  // Every cut point of the path's clean run (with the bystander on the bus): the transfers
  // to the camera after discovery.
  CutCount Sweep(bool locked) {
    const PowerPath &path = GetParam();
    const SweepCase sweepCase{path.name, scenario::Path::Hob, path.camera};
    const capfmt::Bytes capsule = scenario::SampleCapsule(sweepCase.path, SweepPayloadLength());
    std::vector<sim::Platform::StoredVariable> store;
    const std::shared_ptr<camera::Camera> other = Bystander();
    const SweepRun clean = RunCase(sweepCase, capsule, WithCamera(nullptr, other, &store, locked));
    EXPECT_EQ(ExpectSound(clean, "clean run"), Ending::Updated);
    EXPECT_TRUE(clean.reachedLoop);
    EXPECT_FALSE(clean.camera->RunsRomCode());  // the new image started
    EXPECT_FALSE(Written(*other));
    EXPECT_TRUE(store.empty()) << "a clean update leaves no in-flight record";
    const std::vector<sim::Transfer> &transfers = clean.outcome.transferLog;
    const uint8_t cameraPort = transfers.empty() ? 0 : transfers.back().port;

    CutCount count;
    for (size_t k = 0; k < transfers.size(); k++) {
      if (!transfers[k].reachedDevice || transfers[k].port != cameraPort) continue;
      const bool discovery = k < clean.transfersBeforeLoop;
      const std::string fault = std::string(path.name) + (locked ? ", store locked" : "") +
                                ": power cut at transfer " + std::to_string(k) + " of " +
                                std::to_string(transfers.size()) + " (" +
                                SetupText(transfers[k].setup) +
                                (discovery ? ", discovery)" : ")");
      const CutResult result =
          CutAndBootAgain(capsule, transfers, k, locked, fault);
      // A camera that leaves the bus during discovery is no camera to this run: the
      // documented no-camera ending (checked by ExpectSound), not a cut point of the update.
      if (discovery) continue;
      EXPECT_FALSE(result.falseSuccess) << fault << ": EFI_SUCCESS without the new image";
      count.Add(result);
    }
    return count;
  }

  size_t resumedInRom_ = 0;  // next runs that found the camera stranded in its ROM device
};

TEST_P(PowerCutSweep, EveryCutPointIsFinishedByTheNextRun) {
  const PowerPath &path = GetParam();
  const CutCount count = Sweep(/*locked=*/false);
  ReportLine(count.Line(path.name));
  ::testing::Test::RecordProperty("cut_points", static_cast<int>(count.points));
  EXPECT_GT(count.points, 0u);
  if (path.camera != scenario::Camera::Flash) {  // cuts in the download strand the camera
    EXPECT_GT(resumedInRom_, 0u);
  }
  EXPECT_EQ(count.recovered, count.points);
  EXPECT_EQ(count.falseSuccesses, 0u);
  EXPECT_EQ(count.wroteOther, 0u);
}

// With the variable store locked no in-flight record is written: a cut that strands the
// camera in its ROM device cannot be told from another model's stranded ROM device, and the
// next run leaves it alone (EFI_NOT_READY). Every other cut point still recovers.
TEST_P(PowerCutSweep, WithoutARecordAStrandedCameraIsLeftAlone) {
  const PowerPath &path = GetParam();
  if (path.camera == scenario::Camera::Flash) {
    GTEST_SKIP() << "the flash path writes no record";
  }
  const CutCount count = Sweep(/*locked=*/true);
  ReportLine(count.Line(std::string(path.name) + ", store locked"));
  EXPECT_GT(count.points, 0u);
  EXPECT_GT(count.stranded, 0u);
  EXPECT_EQ(count.recovered + count.stranded, count.points);
  EXPECT_EQ(count.falseSuccesses, 0u);
  EXPECT_EQ(count.wroteOther, 0u);
  EXPECT_EQ(resumedInRom_, 0u);
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
