// The flash hardware of the camera model: protection as the parts enforce it, the busy
// time of the status register, addressing, and the misbehaviour switches.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "camera/CameraFixture.h"
#include "camera/FlashHardware.h"

namespace {

using ::testing::ElementsAre;
using camera::FlashHardware;

usb::Setup In(uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
  return {0xC0, request, value, index, length};
}
usb::Setup Out(uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
  return {0x40, request, value, index, length};
}
bool Acked(const usb::Reply &reply) { return reply.outcome == usb::Outcome::Ack; }

// The flash path's requests, sent straight to the hardware.
struct Host {
  FlashHardware &hw;
  bool WriteMem(uint16_t address, uint8_t value) {
    return Acked(hw.Control(Out(0x24, 0, address, 1), {value}));
  }
  bool WriteSr(uint8_t value) { return Acked(hw.Control(Out(0x31, 0, 0, 1), {value})); }
  uint8_t ReadSr() { return hw.Control(In(0x30, 0, 0, 1), {}).data.at(0); }
  bool Erase() { return Acked(hw.Control(Out(0x32, 0, 0, 0), {})); }
  bool Tag() { return Acked(hw.Control(Out(0x34, 0, 0, 0), {})); }
  bool Write(uint32_t address, const std::vector<uint8_t> &data) {
    return Acked(hw.Control(Out(0x2F, static_cast<uint16_t>((address >> 16) << 8),
                                static_cast<uint16_t>(address), static_cast<uint16_t>(data.size())),
                            data));
  }
  usb::Reply Read(uint32_t address, uint16_t length) {
    return hw.Control(In(0x2E, static_cast<uint16_t>((address >> 16) << 8),
                         static_cast<uint16_t>(address), length),
                      {});
  }
  // What the driver's release does on a group-1 variant, step by step.
  void Release() {
    WriteMem(0xFEA0, 0x41), WriteMem(0xFEA6, 0x21), WriteMem(0xFEA1, 0x14), WriteMem(0xFEA7, 0x84);
    WriteSr(0x00);
    while (ReadSr() & 0x01) {
    }
  }
};

TEST(FlashHardwareTest, PowerOnChipIgnoresEraseWritesTagAndStatusWrites) {
  camera::FlashConfig config;
  config.contents = {0x12, 0x34};
  config.tagged = false;
  FlashHardware hw(config);
  Host host{hw};
  EXPECT_TRUE(hw.WriteProtected());
  EXPECT_TRUE(hw.StatusRegisterLocked());
  // Acknowledged, as a real part takes the command, and without effect.
  EXPECT_TRUE(host.Erase());
  EXPECT_TRUE(host.Write(0, {0x00, 0x00}));
  EXPECT_TRUE(host.Tag());
  EXPECT_TRUE(host.WriteSr(0x00));
  EXPECT_EQ(hw.Contents(0, 3), std::vector<uint8_t>({0x12, 0x34, 0xFF}));
  EXPECT_FALSE(hw.Tagged());
  EXPECT_EQ(hw.StatusRegister(), 0x8C);
  EXPECT_EQ(hw.IgnoredCommands(), 4u);
}

TEST(FlashHardwareTest, ReleasedChipErasesProgramsAndTags) {
  camera::FlashConfig config;
  config.contents = {0x12, 0x34};
  FlashHardware hw(config);
  Host host{hw};
  host.Release();
  EXPECT_FALSE(hw.WriteProtected());
  EXPECT_TRUE(host.Erase());
  EXPECT_FALSE(hw.Tagged());  // an erase takes the tag with the image
  EXPECT_EQ(hw.Contents(0, 2), std::vector<uint8_t>({0xFF, 0xFF}));
  EXPECT_TRUE(host.Write(0x0000FF, {0xF0, 0x0F}));  // across a page boundary
  EXPECT_TRUE(host.Write(0x0000FF, {0x3C, 0xFF}));  // programming only clears bits
  EXPECT_EQ(host.Read(0x0000FF, 2).data, std::vector<uint8_t>({0x30, 0x0F}));
  EXPECT_EQ(hw.PagePrograms(), 4u);
  EXPECT_TRUE(host.Tag());
  EXPECT_TRUE(hw.Tagged());
}

TEST(FlashHardwareTest, StatusRegisterWriteNeedsWpHighWhileWriteDisableIsSet) {
  camera::FlashConfig config;
  config.busyReads = 0;
  FlashHardware hw(config);
  Host host{hw};
  host.WriteMem(0xFEA6, 0x21);  // level high, but the pin is not driven
  host.WriteSr(0x00);
  EXPECT_EQ(hw.StatusRegister(), 0x8C);
  host.WriteMem(0xFEA0, 0x41);
  host.WriteSr(0x00);
  EXPECT_EQ(hw.StatusRegister(), 0x00);
  host.WriteMem(0xFEA6, 0x20);  // WP# low, but write-disable is clear now
  host.WriteSr(0x8C);
  EXPECT_EQ(hw.StatusRegister(), 0x8C);
  EXPECT_TRUE(hw.StatusRegisterLocked());
}

TEST(FlashHardwareTest, BusyBitLastsTheConfiguredReadsAndHoldsOffWrites) {
  camera::FlashConfig config;
  config.statusRegister = 0x00;
  config.busyReads = 3;
  FlashHardware hw(config);
  Host host{hw};
  host.WriteMem(0xFEA1, 0x04), host.WriteMem(0xFEA7, 0x04);
  ASSERT_TRUE(host.WriteSr(0x00));
  EXPECT_TRUE(host.Erase());  // ignored while busy
  EXPECT_EQ(hw.Erases(), 0u);
  EXPECT_EQ(host.ReadSr(), 0x01);
  EXPECT_EQ(host.ReadSr(), 0x01);
  EXPECT_EQ(host.ReadSr(), 0x01);
  EXPECT_EQ(host.ReadSr(), 0x00);
  EXPECT_TRUE(host.Erase());
  EXPECT_EQ(hw.Erases(), 1u);
  hw.Misbehave().stuckBusy = true;
  EXPECT_EQ(host.ReadSr() & 0x01, 0x01);
}

TEST(FlashHardwareTest, EachVariantCodeAsksForItsGuard) {
  EXPECT_EQ(camera::GuardOf(0xD000), camera::Guard::Lines04);
  EXPECT_EQ(camera::GuardOf(0x6010), camera::Guard::Lines0C);
  EXPECT_EQ(camera::GuardOf(0x0020), camera::Guard::WriteGate);
  EXPECT_EQ(camera::GuardOf(0x0010), camera::Guard::None);

  camera::FlashConfig config;
  config.statusRegister = 0x00;
  config.variant = {0x1F, 0x6A};  // 0x6010
  FlashHardware lines(config);
  EXPECT_EQ(lines.VariantCode(), 0x6010);
  lines.SetMemory(0xFEA1, 0x04), lines.SetMemory(0xFEA7, 0x04);
  EXPECT_TRUE(lines.WriteProtected());  // both lines are needed
  lines.SetMemory(0xFEA1, 0x0C), lines.SetMemory(0xFEA7, 0x0C);
  EXPECT_FALSE(lines.WriteProtected());

  config.variant = {0x25, 0x07};  // 0x0020
  FlashHardware gate(config);
  EXPECT_TRUE(gate.WriteProtected());
  gate.SetMemory(0xFF9C, 0x05);
  EXPECT_FALSE(gate.WriteProtected());
  Host{gate}.WriteMem(0xFE21, 0xFF);  // the variant bytes are read-only to the host
  EXPECT_EQ(gate.Memory(0xFE21), 0x25);
}

TEST(FlashHardwareTest, RequestsOutsideTheirFormAreStalled) {
  camera::FlashConfig config;
  config.size = 0x20000;
  FlashHardware hw(config);
  EXPECT_FALSE(Acked(hw.Control(In(0x2E, 0x0001, 0x0000, 16), {})));  // low byte of wValue
  EXPECT_FALSE(Acked(hw.Control(In(0x2E, 0x0100, 0xFFF8, 16), {})));  // past the chip's end
  EXPECT_TRUE(Acked(hw.Control(In(0x2E, 0x0100, 0xFFF0, 16), {})));
  EXPECT_FALSE(Acked(hw.Control(In(0x25, 0x0000, 0xFFFF, 2), {})));   // past memory's end
  EXPECT_FALSE(Acked(hw.Control(In(0x30, 0x0000, 0x0000, 2), {})));   // status is one byte
  EXPECT_FALSE(Acked(hw.Control(Out(0x32, 0x0000, 0x0000, 1), {0})));  // erase has no data
  EXPECT_FALSE(Acked(hw.Control(Out(0x2E, 0x0000, 0x0000, 1), {0})));  // read sent as OUT
}

TEST(FlashHardwareTest, MisbehaviourSwitchesHitOnlyWhatTheyName) {
  camera::FlashConfig config;
  config.statusRegister = 0x00;
  config.memory = {{0xFEA1, 0x04}, {0xFEA7, 0x04}};
  FlashHardware hw(config);
  Host host{hw};
  hw.Misbehave().failWriteAt = 0x1800;
  hw.Misbehave().failReadAt = 0x2000;
  hw.Misbehave().corruptAt = 0x0005;
  hw.Misbehave().failMemoryReadAt = 0xFEA6;
  EXPECT_TRUE(host.Erase());
  EXPECT_FALSE(host.Write(0x1000, std::vector<uint8_t>(4096, 0x00)));
  EXPECT_TRUE(host.Write(0x0000, std::vector<uint8_t>(4096, 0x55)));
  EXPECT_EQ(hw.Contents(0x1000, 1), std::vector<uint8_t>({0xFF}));  // the failed write took nothing
  EXPECT_EQ(hw.Contents(4, 3), std::vector<uint8_t>({0x55, 0x55 ^ 0x10, 0x55}));
  EXPECT_FALSE(Acked(host.Read(0x1FFF, 2)));
  EXPECT_TRUE(Acked(host.Read(0x1FFE, 2)));
  EXPECT_FALSE(Acked(hw.Control(In(0x25, 0, 0xFEA5, 2), {})));
  EXPECT_TRUE(Acked(hw.Control(In(0x25, 0, 0xFEA7, 1), {})));
  hw.Misbehave().readLength = 3;
  EXPECT_EQ(host.Read(0, 16).data.size(), 3u);
}

// ---------------------------------------------------------------- inside the camera

class CameraFlashPathTest : public CameraTest {};

TEST_F(CameraFlashPathTest, FlashRequestsNeedUpdateModeOrRomCode) {
  auto cam = Attach();
  XuUnitId = 6;
  const usb::Setup readSr = In(0x30, 0, 0, 1);
  EXPECT_FALSE(Acked(cam->Control(readSr, {})));  // the running firmware refuses
  ASSERT_TRUE(ResetToUpdateFW(Io()));
  EXPECT_TRUE(Acked(cam->Control(readSr, {})));
  ASSERT_TRUE(ResetToRom(Io()));
  P.AdvanceTime(cam->Settings().restartDelayUs);
  ASSERT_TRUE(cam->Connected());
  EXPECT_FALSE(Acked(cam->Control(readSr, {})));  // back in the new code: running again
  cam->Misbehave().romCode = true;
  EXPECT_TRUE(Acked(cam->Control(readSr, {})));
  EXPECT_THAT(cam->Flash().StatusReads(), 2u);
}

}  // namespace
