// The camera's DFU side: the ROM device's DFU 1.1 state machine, the detach requests that
// lead into it and the way back to the camera with the received firmware.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

TEST_F(DfuRomTest, WithoutACompleteImageTheRomComesBack) {
  const std::vector<uint8_t> image = Firmware();
  ASSERT_TRUE(Acked(rom.Control(Block(0, 4096), {image.begin(), image.begin() + 4096})));
  ASSERT_TRUE(Acked(rom.Control(kRomDetach, {})));
  rom.Advance(now += rom.Settings().dfu.romDetachDelayUs);
  EXPECT_EQ(rom.CurrentPersona(), camera::Camera::Persona::DfuRom);
  EXPECT_THAT(rom.Rom()->Image(), IsEmpty());  // a new start of the ROM code
}

}  // namespace
