// The camera model itself: what it announces, how its command channel answers, how it
// restarts, and its misbehaviour switches.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "camera/CameraFixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

usb::Setup SetCur(uint8_t unit, uint8_t interfaceNumber = 0, uint16_t length = 8) {
  return {0x21, 0x01, 0x0A00, static_cast<uint16_t>(unit << 8 | interfaceNumber), length};
}
usb::Setup GetCur(uint8_t unit) {
  return {0xA1, 0x81, 0x0B00, static_cast<uint16_t>(unit << 8), 8};
}
std::vector<uint8_t> InfoBlock(uint16_t piece, uint16_t length = 8) {
  return {0x00,
          0xCD,
          static_cast<uint8_t>(piece),
          static_cast<uint8_t>(piece >> 8),
          static_cast<uint8_t>(length),
          static_cast<uint8_t>(length >> 8),
          0,
          0};
}
bool Acked(const usb::Reply &reply) { return reply.outcome == usb::Outcome::Ack; }

class CameraModelTest : public CameraTest {};

TEST_F(CameraModelTest, RuntimeCameraEnumeratesWithItsInterfaces) {
  Attach();
  camera::Config uvc10;
  uvc10.bcdUVC = 0x0100;
  uvc10.dfuInterface = true;
  Attach(uvc10);
  EXPECT_THAT(P.Usb().Notes(), IsEmpty());

  std::vector<std::tuple<int, int, int, int>> seen;
  for (size_t c = 0; c < 2; c++) {
    for (size_t i = 0; i < P.Usb().Handles(Port(c)).size(); i++) {
      EFI_USB_INTERFACE_DESCRIPTOR d;
      ASSERT_EQ(Io(i, c)->UsbGetInterfaceDescriptor(Io(i, c), &d), EFI_SUCCESS);
      seen.emplace_back(d.InterfaceNumber, d.InterfaceClass, d.InterfaceSubClass,
                        d.InterfaceProtocol);
    }
  }
  EXPECT_THAT(seen, ElementsAre(std::make_tuple(0, 0x0E, 1, 1), std::make_tuple(1, 0x0E, 2, 1),
                                std::make_tuple(0, 0x0E, 1, 0), std::make_tuple(1, 0x0E, 2, 0),
                                std::make_tuple(2, 0xFE, 1, 1)));
}

TEST_F(CameraModelTest, CommandChannelListensOnlyOnTheCameraUnitOfInterfaceZero) {
  camera::Camera cam;
  EXPECT_FALSE(Acked(cam.Control(SetCur(4), InfoBlock(0))));
  EXPECT_FALSE(Acked(cam.Control(SetCur(6, 1), InfoBlock(0))));
  EXPECT_FALSE(Acked(cam.Control(SetCur(6, 0, 7), {0x00, 0xCD, 0, 0, 8, 0, 0})));
  EXPECT_TRUE(Acked(cam.Control(SetCur(6), InfoBlock(0))));
  EXPECT_EQ(cam.CommandBlocks().size(), 1u);  // only the block that reached the unit
}

TEST_F(CameraModelTest, InformationPiecesAreServedUntilTheNextBlock) {
  camera::Camera cam;
  const camera::Information info = cam.Settings().information;
  EXPECT_FALSE(Acked(cam.Control(GetCur(6), {})));  // no command asked for data
  ASSERT_TRUE(Acked(cam.Control(SetCur(6), InfoBlock(3))));
  const usb::Reply answer = cam.Control(GetCur(6), {});
  EXPECT_EQ(answer.data, std::vector<uint8_t>(info.begin() + 24, info.begin() + 32));
  EXPECT_EQ(cam.Control(GetCur(6), {}).data, answer.data);
  EXPECT_FALSE(Acked(cam.Control(SetCur(6), InfoBlock(10))));
  EXPECT_FALSE(Acked(cam.Control(GetCur(6), {})));
  EXPECT_FALSE(Acked(cam.Control(SetCur(6), InfoBlock(0, 16))));
}

TEST_F(CameraModelTest, UpdateModeTakesTheExactVendorRequest) {
  camera::Camera cam;
  EXPECT_FALSE(Acked(cam.Control({0x40, 0x01, 0x0003, 0x0007, 0}, {})));
  EXPECT_FALSE(Acked(cam.Control({0x40, 0x01, 0x0002, 0x0006, 0}, {})));
  EXPECT_EQ(cam.CurrentMode(), camera::Camera::Mode::Running);
  EXPECT_TRUE(Acked(cam.Control({0x40, 0x01, 0x0002, 0x0007, 0}, {})));
  EXPECT_EQ(cam.CurrentMode(), camera::Camera::Mode::Update);
  EXPECT_EQ(cam.ResetsToUpdateMode(), 1u);
}

TEST_F(CameraModelTest, RestartLeavesTheBusAndComesBackAsANewDevice) {
  auto cam = Attach();
  EFI_USB_IO_PROTOCOL *before = Io(0);
  XuUnitId = 6;
  ASSERT_TRUE(ResetToRom(before));
  EXPECT_THAT(P.Usb().Handles(Port()), IsEmpty());
  P.AdvanceTime(cam->Settings().restartDelayUs - 1);
  EXPECT_THAT(P.Usb().Handles(Port()), IsEmpty());
  P.AdvanceTime(1);
  ASSERT_EQ(P.Usb().Handles(Port()).size(), 2u);
  EXPECT_NE(Io(0), before);
  EXPECT_EQ(cam->Generation(), 1u);
  EXPECT_EQ(cam->Restarts(), 1u);
  UINT8 answer[8];
  EXPECT_TRUE(GetDevQualify(Io(0), answer));  // the new instance talks to the camera again
  const size_t sent = Transfers().size();
  EXPECT_FALSE(GetDevQualify(before, answer));  // the old one is gone: nothing goes out
  EXPECT_EQ(Transfers().size(), sent);
}

}  // namespace
