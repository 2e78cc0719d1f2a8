// The camera's DFU side: the ROM device's DFU 1.1 state machine, the detach requests that
// lead into it and the way back to the camera with the received firmware.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <variant>

#include "camera/CameraFixture.h"
#include "tools/CapsuleFormat.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace dfu = camera::dfu;

const usb::Setup kGetStatus{0xA1, dfu::kGetStatus, 0, 0, 6};
const usb::Setup kRomDetach{0x21, dfu::kDetach, 0x5000, 0, 0};
const usb::Setup kAllowUpdate{0x00, 0x1B, 1, 0, 0};
const usb::Setup kVendorDetach{0x40, 0x50, 0, 0, 0};

usb::Setup Block(uint16_t number, uint16_t length) {
  return {0x21, dfu::kDnload, number, 0, length};
}
bool Acked(const usb::Reply &reply) { return reply.outcome == usb::Outcome::Ack; }
uint8_t StateIn(const usb::Reply &status) { return status.data.at(4); }

// A 0x3000-byte image whose version block names VID 0x1234, PID 0x5678, version 0x0304.
std::vector<uint8_t> Firmware() {
  capfmt::Bytes image(0x3000, 0x5A);
  capfmt::PutVersionBlock(image, {.vid = 0x1234, .pid = 0x5678, .version = 0x0304});
  return image;
}

class DfuRomTest : public CameraTest {
 protected:
  void SetUp() override {
    CameraTest::SetUp();
    rom.BecomeDfuRom();
  }
  camera::Camera rom;
  uint64_t now = 0;
};

// ---------------------------------------------------------------- state machine

// The class requests of DFU 1.1 as a host sends them to the ROM device.
enum Request { kDetachReq, kBlockReq, kEndReq, kUploadReq, kStatusReq, kClearReq, kStateReq,
               kAbortReq, kRequests };
usb::Reply Send(camera::Camera &rom, Request request) {
  switch (request) {
    case kDetachReq: return rom.Control(kRomDetach, {});
    case kBlockReq: return rom.Control(Block(0, 4), {1, 2, 3, 4});
    case kEndReq: return rom.Control(Block(1, 0), {});
    case kUploadReq: return rom.Control({0xA1, dfu::kUpload, 0, 0, 64}, {});
    case kStatusReq: return rom.Control(kGetStatus, {});
    case kClearReq: return rom.Control({0x21, dfu::kClrStatus, 0, 0, 0}, {});
    case kStateReq: return rom.Control({0xA1, dfu::kGetState, 0, 0, 1}, {});
    default: return rom.Control({0x21, dfu::kAbort, 0, 0, 0}, {});
  }
}

// One state of DFU 1.1's appendix A: how a host brings the device there (requests, and
// time passing where a step is a number of microseconds), and for each request the state
// it leaves the device in and whether it was taken.
struct Outcome {
  bool taken;
  uint8_t state;
};
struct StateRow {
  uint8_t state;
  std::vector<std::variant<Request, uint64_t>> reach;
  std::array<Outcome, kRequests> outcomes;  // in Request order
};

const Outcome kStalled{false, dfu::kDfuError};
const std::vector<StateRow> kStateTable = {
    {dfu::kDfuIdle, {},
     {kStalled, Outcome{true, dfu::kDnloadSync}, kStalled, kStalled, {true, dfu::kDfuIdle},
      kStalled, {true, dfu::kDfuIdle}, {true, dfu::kDfuIdle}}},
    {dfu::kDnloadSync, {kBlockReq},
     {kStalled, kStalled, kStalled, kStalled, {true, dfu::kDnBusy}, kStalled,
      {true, dfu::kDnloadSync}, kStalled}},
    {dfu::kDnBusy, {kBlockReq, kStatusReq},
     {kStalled, kStalled, kStalled, kStalled, kStalled, kStalled, kStalled, kStalled}},
    {dfu::kDnloadIdle, {kBlockReq, kStatusReq, uint64_t{5000}, kStatusReq},
     {kStalled, Outcome{true, dfu::kDnloadSync}, {true, dfu::kManifestSync}, kStalled,
      {true, dfu::kDnloadIdle}, kStalled, {true, dfu::kDnloadIdle}, {true, dfu::kDfuIdle}}},
    {dfu::kManifestSync, {kBlockReq, kStatusReq, uint64_t{5000}, kStatusReq, kEndReq},
     {kStalled, kStalled, kStalled, kStalled, {true, dfu::kManifest}, kStalled,
      {true, dfu::kManifestSync}, kStalled}},
    {dfu::kManifest, {kBlockReq, kStatusReq, uint64_t{5000}, kStatusReq, kEndReq, kStatusReq},
     {kStalled, kStalled, kStalled, kStalled, kStalled, kStalled, kStalled, kStalled}},
    {dfu::kDfuError, {kClearReq},
     {kStalled, kStalled, kStalled, kStalled, {true, dfu::kDfuError}, {true, dfu::kDfuIdle},
      {true, dfu::kDfuError}, kStalled}},
};

TEST_F(DfuRomTest, EveryStateTakesWhatDfu11AppendixATakesAndNothingElse) {
  for (const StateRow &row : kStateTable) {
    for (size_t request = 0; request < kRequests; request++) {
      camera::Camera device;
      device.Settings().dfu.detachStartsImage = false;  // DFU 1.1 itself
      device.BecomeDfuRom();
      uint64_t at = 0;
      for (const auto &step : row.reach) {
        if (std::holds_alternative<uint64_t>(step)) {
          device.Advance(at += std::get<uint64_t>(step));
        } else {
          Send(device, std::get<Request>(step));
        }
      }
      ASSERT_EQ(device.Rom()->State(), row.state);
      const Outcome &expected = row.outcomes[request];
      const std::string what =
          "request " + std::to_string(request) + " in state " + std::to_string(row.state);
      EXPECT_EQ(Acked(Send(device, static_cast<Request>(request))), expected.taken) << what;
      EXPECT_EQ(device.Rom()->State(), expected.state) << what;
      if (!expected.taken) {
        EXPECT_EQ(device.Rom()->Status(), dfu::kErrStalledPkt) << what;
        EXPECT_TRUE(device.Connected()) << what;
      }
    }
  }
}

TEST_F(DfuRomTest, BlockKeepsTheDeviceBusyForItsProgrammingTime) {
  ASSERT_TRUE(Acked(rom.Control(Block(0, 4), {1, 2, 3, 4})));
  const usb::Reply busy = rom.Control(kGetStatus, {});
  EXPECT_THAT(busy.data, ElementsAre(dfu::kStatusOk, 5, 0, 0, dfu::kDnBusy, 0));
  rom.Advance(now = 4999);
  EXPECT_FALSE(Acked(rom.Control(kGetStatus, {})));  // asked too early
  EXPECT_EQ(rom.Rom()->State(), dfu::kDfuError);
  EXPECT_EQ(rom.Rom()->Status(), dfu::kErrStalledPkt);
}

TEST_F(DfuRomTest, DownloadEndsWithAZeroLengthBlockAfterData) {
  EXPECT_FALSE(Acked(rom.Control(Block(0, 0), {})));  // nothing to end yet
  EXPECT_EQ(rom.Rom()->State(), dfu::kDfuError);
  ASSERT_TRUE(Acked(rom.Control({0x21, dfu::kClrStatus, 0, 0, 0}, {})));
  const std::vector<uint8_t> image = Firmware();
  for (uint16_t block = 0; block < 3; block++) {
    const auto data = image.begin() + block * 4096;
    ASSERT_TRUE(Acked(rom.Control(Block(block, 4096), {data, data + 4096})));
    const usb::Reply busy = rom.Control(kGetStatus, {});
    rom.Advance(now += 1000 * busy.data.at(1));  // waits as a host does
    ASSERT_EQ(StateIn(rom.Control(kGetStatus, {})), dfu::kDnloadIdle);
  }
  ASSERT_TRUE(Acked(rom.Control(Block(3, 0), {})));
  EXPECT_EQ(rom.Rom()->Image(), image);
  EXPECT_THAT(rom.Rom()->BlockNumbers(), ElementsAre(0, 1, 2));
  EXPECT_TRUE(rom.Rom()->Manifested());
  EXPECT_EQ(rom.Rom()->BootIdentity(), (camera::FirmwareIdentity{0x1234, 0x5678, 0x0304}));
}

// After the zero-length block: dfuMANIFEST for the manifestation time the device gives,
// then dfuIDLE on a manifestation-tolerant device and dfuMANIFEST-WAIT-RESET on another,
// as the functional descriptor's bitManifestationTolerant announces.
TEST_F(DfuRomTest, ManifestationRunsForItsOwnPollTimeout) {
  for (bool tolerant : {true, false}) {
    camera::Camera device;
    device.Settings().dfu.manifestationTolerant = tolerant;
    device.BecomeDfuRom();
    const std::vector<uint8_t> configuration = device.ConfigurationDescriptor();
    EXPECT_EQ(configuration.at(configuration.size() - 7) & 0x04, tolerant ? 0x04 : 0x00);
    uint64_t at = 0;
    ASSERT_TRUE(Acked(device.Control(Block(0, 4), {1, 2, 3, 4})));
    device.Control(kGetStatus, {});
    device.Advance(at += 5000);
    device.Control(kGetStatus, {});
    ASSERT_TRUE(Acked(device.Control(Block(1, 0), {})));
    EXPECT_EQ(device.Rom()->State(), dfu::kManifestSync);
    EXPECT_THAT(device.Control(kGetStatus, {}).data,
                ElementsAre(dfu::kStatusOk, 20, 0, 0, dfu::kManifest, 0));
    device.Advance(at += 20000);
    EXPECT_TRUE(device.Rom()->ManifestationDone());
    if (tolerant) {
      EXPECT_EQ(StateIn(device.Control(kGetStatus, {})), dfu::kDfuIdle);
    } else {
      EXPECT_EQ(device.Rom()->State(), dfu::kManifestWaitReset);
      EXPECT_FALSE(Acked(device.Control(kGetStatus, {})));  // it waits for a reset
      EXPECT_EQ(device.Rom()->State(), dfu::kManifestWaitReset);
    }
  }
}

TEST_F(DfuRomTest, NewDownloadReplacesWhatAnEarlierOneLeft) {
  rom.Misbehave().dfu.errorAfterBlock = 0;
  ASSERT_TRUE(Acked(rom.Control(Block(0, 4), {1, 2, 3, 4})));
  rom.Control(kGetStatus, {});
  rom.Advance(now += 5000);
  ASSERT_EQ(StateIn(rom.Control(kGetStatus, {})), dfu::kDfuError);
  ASSERT_TRUE(Acked(rom.Control({0x21, dfu::kClrStatus, 0, 0, 0}, {})));
  ASSERT_TRUE(Acked(rom.Control(Block(0, 2), {7, 8})));
  EXPECT_THAT(rom.Rom()->Image(), ElementsAre(7, 8));
  EXPECT_THAT(rom.Rom()->BlockNumbers(), ElementsAre(0));
}

// ---------------------------------------------------------------- personas

TEST_F(DfuRomTest, CameraDetachesOnlyAfterTheAllowUpdateRequest) {
  auto cam = Attach();
  EXPECT_FALSE(Acked(cam->Control(kVendorDetach, {})));
  ASSERT_TRUE(Acked(cam->Control(kAllowUpdate, {})));
  ASSERT_TRUE(Acked(cam->Control(kVendorDetach, {})));
  P.AdvanceTime(0);
  EXPECT_THAT(P.Usb().Handles(Port()), IsEmpty());
  P.AdvanceTime(cam->Settings().dfu.detachDelayUs);
  ASSERT_EQ(P.Usb().Handles(Port()).size(), 1u);
  EFI_USB_DEVICE_DESCRIPTOR device;
  EFI_USB_INTERFACE_DESCRIPTOR interface;
  Io()->UsbGetDeviceDescriptor(Io(), &device);
  Io()->UsbGetInterfaceDescriptor(Io(), &interface);
  EXPECT_EQ(device.IdVendor, 0x3B5A);
  EXPECT_EQ(device.IdProduct, 0x4C00);
  EXPECT_EQ(std::make_tuple(interface.InterfaceClass, interface.InterfaceSubClass,
                            interface.InterfaceProtocol),
            std::make_tuple(0xFE, 0x01, 0x02));
}

// The ROM's departure from DFU 1.1: DFU_DETACH starts an image that a download ended, even
// before the host has watched its manifestation (the driver sends it right after the
// zero-length block); anything short of that is refused as DFU 1.1 refuses it.
TEST_F(DfuRomTest, DetachStartsOnlyAnImageADownloadEnded) {
  const std::vector<uint8_t> image = Firmware();
  ASSERT_TRUE(Acked(rom.Control(Block(0, 4096), {image.begin(), image.begin() + 4096})));
  EXPECT_FALSE(Acked(rom.Control(kRomDetach, {})));
  EXPECT_EQ(rom.Rom()->State(), dfu::kDfuError);
  EXPECT_TRUE(rom.Connected());
  ASSERT_TRUE(Acked(rom.Control({0x21, dfu::kClrStatus, 0, 0, 0}, {})));

  for (uint16_t block = 0; block < 3; block++) {
    const auto data = image.begin() + block * 4096;
    ASSERT_TRUE(Acked(rom.Control(Block(block, 4096), {data, data + 4096})));
    rom.Control(kGetStatus, {});
    rom.Advance(now += 5000);
    rom.Control(kGetStatus, {});
  }
  ASSERT_TRUE(Acked(rom.Control(Block(3, 0), {})));
  ASSERT_EQ(rom.Rom()->State(), dfu::kManifestSync);
  ASSERT_TRUE(Acked(rom.Control(kRomDetach, {})));
  EXPECT_FALSE(rom.Connected());
  rom.Advance(now += rom.Settings().dfu.romDetachDelayUs);
  EXPECT_EQ(rom.CurrentPersona(), camera::Camera::Persona::Runtime);
  EXPECT_EQ(rom.Settings().device.idProduct, 0x5678);
  EXPECT_EQ(rom.Settings().device.bcdDevice, 0x0304);
}

}  // namespace
