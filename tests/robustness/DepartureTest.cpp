// Devices that leave the bus at each place where the driver used to go on calling through
// the interface they took with them. The simulated bus frees a departed device's interfaces
// as EDK II's does, so a call through an old pointer is a use after free that
// AddressSanitizer reports; each run must also end soundly, send nothing more to the device
// and log the gate's line.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "robustness/Sweep.h"

namespace robustness {
namespace {

const char kLeft[] = "Device has left the bus, no request sent to it\r\n";

// Requests of the flash path, and DFU requests.
constexpr uint8_t kVendorIn = 0xC0, kReadMem = 0x25;
constexpr uint8_t kDfuOut = camera::dfu::kRequestTypeOut;

bool Has(const std::vector<std::string> &log, const std::string &line) {
  return std::find(log.begin(), log.end(), line) != log.end();
}

// Requests of this type and code that reached a device; DFU requests go to interface 0 (an
// extension unit's SET_CUR has the same type and code).
size_t Count(const std::vector<sim::Transfer> &transfers, uint8_t type, uint8_t request) {
  return std::count_if(transfers.begin(), transfers.end(), [&](const sim::Transfer &t) {
    return t.reachedDevice && t.setup.RequestType == type && t.setup.Request == request &&
           (type != camera::dfu::kRequestTypeOut || t.setup.Index == 0);
  });
}

// A camera that leaves the bus right after it has answered the first request `leave`
// matches (as a camera that restarts on its own does), and comes back after its restart
// delay as what it then starts.
class LeavingCamera : public camera::Camera {
 public:
  LeavingCamera(const camera::Config &config, camera::RequestFilter leave)
      : camera::Camera(config), leave_(std::move(leave)) {}
  usb::Reply Control(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) override {
    usb::Reply reply = camera::Camera::Control(setup, dataOut);
    if (leave_ && reply.outcome == usb::Outcome::Ack && leave_(setup, dataOut)) {
      leave_ = nullptr;
      Restart();
    }
    return reply;
  }

 private:
  camera::RequestFilter leave_;
};

struct Departure {
  const char *name;
  scenario::Camera camera;
  // The camera loses power at this request (before it answers) ...
  std::optional<camera::PowerCutRule> cut;
  // ... or leaves right after answering this one.
  camera::RequestFilter leaveAfter;
  bool reuseFreed = false;  // the bus hands freed interface memory out again
  Ending ending;
  // What the run must not have done after the departure.
  std::function<void(const SweepRun &)> check;
};

class DepartureTest : public ::testing::TestWithParam<Departure> {};

TEST_P(DepartureTest, NothingGoesThroughTheInterfaceOfADeviceThatHasLeft) {
  const Departure &d = GetParam();
  const SweepCase sweepCase{d.name, scenario::Path::Hob, d.camera};
  RunSetup setup;
  setup.makeCamera = [&](const camera::Config &config) -> std::shared_ptr<camera::Camera> {
    if (d.leaveAfter) return std::make_shared<LeavingCamera>(config, d.leaveAfter);
    return std::make_shared<camera::Camera>(config);
  };
  setup.adjustCamera = [&](camera::Camera &c) {
    if (d.cut) c.Misbehave().powerCut = *d.cut;
    if (d.cut && d.cut->match && d.cut->match(usb::Setup{kDfuOut, camera::dfu::kClrStatus, 0, 0, 0}, std::vector<uint8_t>{})) {
      // In dfuERROR with an error status, so that the recovery sends DFU_CLRSTATUS.
      c.Misbehave().dfu.initialState = camera::dfu::kDfuError;
      c.Misbehave().dfu.initialStatus = camera::dfu::kErrWrite;
    }
  };
  setup.inject = [&](sim::Platform &p) { p.Usb().ReuseFreedInterfaces(d.reuseFreed); };
  const capfmt::Bytes capsule = scenario::SampleCapsule(sweepCase.path, SweepPayloadLength());
  const SweepRun run = RunCase(sweepCase, capsule, setup);
  EXPECT_EQ(ExpectSound(run, d.name), d.ending);
  EXPECT_TRUE(Has(run.outcome.log, kLeft)) << "the gate did not stop a call";
  d.check(run);
}


const auto kAllowUpdate = camera::Request(0x00, 0x1B);
const auto kResetToUpdate = camera::Request(0x40, 0x01);
const auto kFinalDownload = [](const usb::Setup &s, const std::vector<uint8_t> &) {
  return s.bmRequestType == kDfuOut && s.bRequest == camera::dfu::kDnload && s.wLength == 0;
};

INSTANTIATE_TEST_SUITE_P(
    Gate, DepartureTest,
    ::testing::Values(
        // 1. The recovery block after a failed SET_CUR.
        Departure{"RecoveryBlockAfterAFailedSetCur", scenario::Camera::Flash,
                  camera::PowerCutRule{camera::CommandBlock(camera::kCommandGetDevQualify)},
                  nullptr, false, Ending::UpdateFailed,
                  [](const SweepRun &r) { EXPECT_EQ(r.camera->RecoveryBlocks(), 0u); }},
        // 2. A failed information read is no ROM code when the camera has gone: no release of
        // the write protection follows (the discovery's chip query read piece 0 first).
        Departure{"RomCodeCheckAfterAFailedInformationRead", scenario::Camera::Flash,
                  camera::PowerCutRule{camera::CommandBlock(camera::kCommandGetInfo), 1}, nullptr,
                  false, Ending::UpdateFailed,
                  [](const SweepRun &r) {
                    EXPECT_FALSE(Has(r.outcome.log, "Disable Write Protect\r\n"));
                    EXPECT_EQ(Count(r.outcome.transferLog, kVendorIn, kReadMem), 0u);
                  }},
        // 3. A failed chip query: the matching camera has gone, no procedure runs.
        Departure{"UpdateAfterAFailedChipQuery", scenario::Camera::DfuCapable,
                  camera::PowerCutRule{camera::CommandBlock(camera::kCommandGetInfo)}, nullptr,
                  false, Ending::UpdateFailed,
                  [](const SweepRun &r) {
                    EXPECT_TRUE(Has(r.outcome.log, "Find match HWID, Try to update FW\r\n"));
                    EXPECT_FALSE(Has(r.outcome.log, "DFUFwDownload() =>\r\n"));
                    EXPECT_EQ(r.outcome.transferLog.size(), r.transfersBeforeLoop);
                  }},
        // 4. The descriptor reads after the probe's last transfer: a camera that leaves right
        // after it is not recorded, and the scan that missed it is incomplete.
        Departure{"DescriptorReadsAfterTheProbe", scenario::Camera::Flash, std::nullopt,
                  camera::Request(0x80, usb::kGetDescriptor), false, Ending::ScanFault,
                  [](const SweepRun &r) { EXPECT_EQ(r.outcome.status, EFI_DEVICE_ERROR); }},
        // 5. The status re-check's DFU_CLRSTATUS after a DFU_CLRSTATUS the device left at.
        Departure{"SecondClearStatusAfterAFailedClear", scenario::Camera::DfuCapable,
                  camera::PowerCutRule{camera::Request(kDfuOut, camera::dfu::kClrStatus)},
                  nullptr, false, Ending::UpdateFailed,
                  [](const SweepRun &r) {
                    EXPECT_TRUE(Has(r.outcome.log, "error clear_status!\r\n"));
                    EXPECT_FALSE(Has(r.outcome.log, "USB communication error\r\n"));
                  }},
        // 6. The flash path after the restart into update mode, should the camera leave.
        Departure{"FlashPathAfterTheRestartIntoUpdateMode", scenario::Camera::Flash,
                  std::nullopt, kResetToUpdate, false, Ending::UpdateFailed,
                  [](const SweepRun &r) {
                    EXPECT_EQ(Count(r.outcome.transferLog, kVendorIn, kReadMem), 0u);
                    EXPECT_EQ(r.camera->Flash().Erases(), 0u);
                  }},
        // 7. The ROM device's detach, when the ROM device left on its own after the download.
        Departure{"RomDetachAfterTheRomLeftOnItsOwn", scenario::Camera::DfuCapable,
                  std::nullopt, kFinalDownload, false, Ending::Updated,
                  [](const SweepRun &r) {
                    EXPECT_EQ(Count(r.outcome.transferLog, kDfuOut, camera::dfu::kDetach), 0u);
                  }},
        // 8. The detach after an allow-update the camera left at.
        Departure{"DetachAfterTheAllowUpdate", scenario::Camera::DfuCapable, std::nullopt,
                  kAllowUpdate, false, Ending::UpdateFailed,
                  [](const SweepRun &r) {
                    EXPECT_EQ(Count(r.outcome.transferLog, 0x40, 0x50), 0u);
                    EXPECT_TRUE(
                        Has(r.outcome.log, "Reset and can't find DFU ROM device\r\n"));
                  }},
        // 9. The next block after a departure nobody planned.
        Departure{"NextBlockAfterAnUnplannedDeparture", scenario::Camera::DfuCapable,
                  camera::PowerCutRule{camera::DfuBlockDownload(1)}, nullptr, false,
                  Ending::UpdateFailed,
                  [](const SweepRun &r) {
                    EXPECT_EQ(Count(r.outcome.transferLog, kDfuOut, camera::dfu::kDnload), 2u);
                  }},
        // 10. A device enumerated again at the freed interface's address: the old pointer
        // leads to a live interface, which the gate tells from the one it knew.
        Departure{"InterfaceAddressHandedOutAgain", scenario::Camera::Flash, std::nullopt,
                  kResetToUpdate, true, Ending::UpdateFailed,
                  [](const SweepRun &r) {
                    EXPECT_EQ(Count(r.outcome.transferLog, kVendorIn, kReadMem), 0u);
                    EXPECT_EQ(r.camera->Flash().Erases(), 0u);
                  }}),
    [](const ::testing::TestParamInfo<Departure> &info) { return info.param.name; });

}  // namespace
}  // namespace robustness
