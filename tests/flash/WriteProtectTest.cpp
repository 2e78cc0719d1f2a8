// Write protection: the registers each variant group adjusts, the status register values,
// and the limits of the busy poll.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "flash/FlashFixture.h"

namespace {

using namespace flashpath;

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// Power-on register values of the camera model (other bits set, to show they are kept).
constexpr uint8_t kFea0 = 0x40, kFea6 = 0x20, kFea1 = 0x10, kFea7 = 0x80, kFf9c = 0x30;

class WriteProtectTest : public FlashTest {
 protected:
  // A camera in update mode with these variant bytes at 0xFE21 and 0xFE22.
  void AttachVariant(uint8_t fe21, uint8_t fe22, unsigned busyReads = 0) {
    camera::Config config;
    config.flash.variant = {fe21, fe22};
    config.flash.busyReads = busyReads;
    AttachCamera(std::move(config));
    EnterUpdateMode();
  }
  uint8_t Reg(uint16_t address) const { return cam->Flash().Memory(address); }
  // The release of one update, shared by the test's release and protection.
  KV_WP_RELEASE release{};
  // The data byte each WriteMem of the last run carried, by register.
  std::vector<std::pair<uint16_t, uint8_t>> Writes() const {
    std::vector<std::pair<uint16_t, uint8_t>> writes;
    for (const sim::Transfer &t : Transfers()) {
      if (t.setup.RequestType == 0x40 && t.setup.Request == 0x24) {
        writes.emplace_back(t.setup.Index, t.dataOut.at(0));
      }
    }
    return writes;
  }
};

// ---------------------------------------------------------------- variant groups

TEST_F(WriteProtectTest, Group1ReleasesAndRestoresLines04) {
  AttachVariant(0x05, 0xE7);  // code 0xE000
  ASSERT_TRUE(DisableWriteProtect(Io(), &release));
  EXPECT_THAT(Names(), ElementsAre("ReadMem FE21", "ReadMem FEA0", "ReadMem FEA6", "ReadMem FEA1",
                                   "ReadMem FEA7", "WriteMem FEA0", "WriteMem FEA6",
                                   "WriteMem FEA1", "WriteMem FEA7", "WriteSr", "ReadSr"));
  EXPECT_EQ(Wire()[0], (WireRequest{0xC0, 0x25, 0, 0xFE21, 2, EfiUsbDataIn, 5000}));
  EXPECT_THAT(Writes(), ElementsAre(std::pair<uint16_t, uint8_t>{0xFEA0, kFea0 | 0x01},
                                    std::pair<uint16_t, uint8_t>{0xFEA6, kFea6 | 0x01},
                                    std::pair<uint16_t, uint8_t>{0xFEA1, kFea1 | 0x04},
                                    std::pair<uint16_t, uint8_t>{0xFEA7, kFea7 | 0x04}));
  EXPECT_EQ(Transfers()[9].dataOut, std::vector<uint8_t>({0x00}));
  EXPECT_FALSE(cam->Flash().WriteProtected());
  EXPECT_EQ(Reg(0xFF9C), kFf9c);

  P.Usb().ClearTransfers();
  ASSERT_TRUE(EnableWriteProtect(Io(), &release));
  EXPECT_THAT(Writes(), ElementsAre(std::pair<uint16_t, uint8_t>{0xFEA0, kFea0 | 0x01},
                                    std::pair<uint16_t, uint8_t>{0xFEA6, kFea6},
                                    std::pair<uint16_t, uint8_t>{0xFEA1, kFea1 | 0x04},
                                    std::pair<uint16_t, uint8_t>{0xFEA7, kFea7}));
  EXPECT_EQ(Transfers()[9].dataOut, std::vector<uint8_t>({0x8C}));
  EXPECT_TRUE(cam->Flash().WriteProtected());
  EXPECT_TRUE(cam->Flash().StatusRegisterLocked());
  EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(WriteProtectTest, EveryGroup1And2CodeIsRecognised) {
  const struct {
    uint8_t fe21, fe22, bits;
  } variants[] = {{0x0F, 0xF3, 0x04}, {0x00, 0xE0, 0x04}, {0x09, 0xDA, 0x04},
                  {0x1F, 0x6A, 0x0C}, {0x1F, 0x9A, 0x0C}};
  for (const auto &v : variants) {
    if (!ports_.empty()) {
      P.Usb().Detach(ports_.back());
      ports_.clear();
      cameras_.clear();
    }
    AttachVariant(v.fe21, v.fe22);
    ASSERT_TRUE(DisableWriteProtect(Io(), &release));
    EXPECT_EQ(Reg(0xFEA7) & 0x0C, v.bits) << std::hex << cam->Flash().VariantCode();
    EXPECT_FALSE(cam->Flash().WriteProtected());
  }
}

TEST_F(WriteProtectTest, Group2ProtectionClearsBothLinesItReleased) {
  AttachVariant(0x1F, 0x9A);  // code 0x9010
  ASSERT_TRUE(DisableWriteProtect(Io(), &release));
  EXPECT_EQ(Reg(0xFEA1), kFea1 | 0x0C);
  EXPECT_EQ(Reg(0xFEA7), kFea7 | 0x0C);
  ASSERT_TRUE(EnableWriteProtect(Io(), &release));
  EXPECT_EQ(Reg(0xFEA1), kFea1 | 0x0C);
  EXPECT_EQ(Reg(0xFEA7) & 0x0C, 0);
  EXPECT_EQ(Reg(0xFEA7), kFea7);
}

TEST_F(WriteProtectTest, Group3UsesTheWriteGateOnly) {
  AttachVariant(0x1A, 0xE4);  // code 0xE010
  ASSERT_TRUE(DisableWriteProtect(Io(), &release));
  EXPECT_THAT(Names(), ElementsAre("ReadMem FE21", "ReadMem FEA0", "ReadMem FEA6", "ReadMem FF9C",
                                   "WriteMem FEA0", "WriteMem FEA6", "WriteMem FF9C", "WriteSr",
                                   "ReadSr"));
  EXPECT_EQ(Reg(0xFF9C), kFf9c | 0x05);
  EXPECT_FALSE(cam->Flash().WriteProtected());
  ASSERT_TRUE(EnableWriteProtect(Io(), &release));
  EXPECT_EQ(Reg(0xFF9C), kFf9c);
  EXPECT_EQ(Reg(0xFEA1), kFea1);
  EXPECT_EQ(Reg(0xFEA7), kFea7);
}

TEST_F(WriteProtectTest, Code0020IsReleasedAsGroup3ButProtectedAsNoGroup) {
  AttachVariant(0x25, 0x07);  // code 0x0020
  ASSERT_TRUE(DisableWriteProtect(Io(), &release));
  EXPECT_EQ(Reg(0xFF9C), kFf9c | 0x05);
  P.Usb().ClearTransfers();
  ASSERT_TRUE(EnableWriteProtect(Io(), &release));
  EXPECT_THAT(Names(), ElementsAre("ReadMem FE21", "ReadMem FEA0", "ReadMem FEA6", "WriteMem FEA0",
                                   "WriteMem FEA6", "WriteSr", "ReadSr"));
  EXPECT_EQ(Reg(0xFF9C), kFf9c | 0x05);  // left as the release left it
  EXPECT_TRUE(cam->Flash().WriteProtected());  // the status register still protects
}

TEST_F(WriteProtectTest, UnknownCodeAdjustsOnlyTheWpRegisters) {
  AttachVariant(0x35, 0x47);  // code 0x4030
  ASSERT_TRUE(DisableWriteProtect(Io(), &release));
  EXPECT_THAT(Names(), ElementsAre("ReadMem FE21", "ReadMem FEA0", "ReadMem FEA6", "WriteMem FEA0",
                                   "WriteMem FEA6", "WriteSr", "ReadSr"));
  EXPECT_FALSE(cam->Flash().WriteProtected());
}

TEST_F(WriteProtectTest, FailedVariantReadActsAsNoGroupAndCanSucceed) {
  AttachVariant(0x05, 0xE7);
  cam->Flash().Misbehave().failMemoryReadAt = 0xFE22;
  EXPECT_TRUE(DisableWriteProtect(Io(), &release));
  EXPECT_THAT(Names(), ElementsAre("ReadMem FE21", "ReadMem FEA0", "ReadMem FEA6", "WriteMem FEA0",
                                   "WriteMem FEA6", "WriteSr", "ReadSr"));
  EXPECT_EQ(Reg(0xFEA1), kFea1);
  EXPECT_EQ(Reg(0xFEA7), kFea7);
  // The group-1 guard stays shut: this camera's flash is still protected.
  EXPECT_TRUE(cam->Flash().WriteProtected());
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver Error:SendVendorRequest failed: Status Device "
                                 "Error, UsbResult 0x2.\n",
                                 "KvrFmpDriver Error:SendVendorRequest ReadMem fail Device Error\n"));
}

// Protection after a failed variant read: the code the release read in the same update
// stands in, so every group that was released is protected again, register for register
// as when the read succeeds.
TEST_F(WriteProtectTest, FailedVariantReadOnProtectionProtectsWhatWasReleased) {
  const struct {
    uint8_t fe21, fe22;
    uint8_t gate;  // bits 0x05 of 0xFF9C after protection (code 0x0020 leaves them set)
  } variants[] = {{0x05, 0xE7, 0}, {0x0F, 0xF3, 0},    {0x1F, 0x9A, 0}, {0x1F, 0x6A, 0},
                  {0x1A, 0xE4, 0}, {0x25, 0x07, 0x05}, {0x35, 0x47, 0}};
  const uint16_t kRegisters[] = {0xFEA0, 0xFEA6, 0xFEA1, 0xFEA7, 0xFF9C};
  for (const auto &v : variants) {
    std::vector<uint8_t> expected;
    std::vector<std::string> expectedNames;
    for (const bool failRead : {false, true}) {
      if (!ports_.empty()) {
        P.Usb().Detach(ports_.back());
        ports_.clear();
        cameras_.clear();
      }
      AttachVariant(v.fe21, v.fe22);
      const uint16_t code = cam->Flash().VariantCode();
      SCOPED_TRACE(::testing::Message() << "code 0x" << std::hex << code
                                        << (failRead ? ", failed read" : ""));
      ASSERT_TRUE(DisableWriteProtect(Io(), &release));
      P.Usb().ClearTransfers();
      if (failRead) cam->Flash().Misbehave().failMemoryReadAt = 0xFE22;
      ASSERT_TRUE(EnableWriteProtect(Io(), &release));
      EXPECT_EQ(Reg(0xFEA6) & 0x01, 0);
      EXPECT_EQ(cam->Flash().StatusRegister(), 0x8C);
      EXPECT_EQ(Reg(0xFEA7) & 0x0C, 0);
      EXPECT_EQ(Reg(0xFF9C) & 0x05, v.gate);
      EXPECT_TRUE(cam->Flash().WriteProtected());
      std::vector<uint8_t> values;
      for (uint16_t r : kRegisters) values.push_back(Reg(r));
      if (!failRead) {
        expected = values;
        expectedNames = Names();
      } else {
        EXPECT_EQ(values, expected);
        EXPECT_EQ(Names(), expectedNames);  // the same registers, in the same order
      }
    }
  }
}

// ---------------------------------------------------------------- failures

TEST_F(WriteProtectTest, FailedRegisterReadStopsBeforeAnyWrite) {
  AttachVariant(0x05, 0xE7);
  cam->Flash().Misbehave().failMemoryReadAt = 0xFEA1;
  EXPECT_FALSE(DisableWriteProtect(Io(), &release));
  EXPECT_EQ(Names().back(), "ReadMem FEA1");
  EXPECT_THAT(Writes(), IsEmpty());
}

TEST_F(WriteProtectTest, FailedRegisterWriteLeavesEarlierWritesInPlace) {
  AttachVariant(0x05, 0xE7);
  cam->Flash().Misbehave().failMemoryWriteAt = 0xFEA6;
  EXPECT_FALSE(DisableWriteProtect(Io(), &release));
  EXPECT_EQ(Names().back(), "WriteMem FEA6");
  EXPECT_EQ(Reg(0xFEA0), kFea0 | 0x01);
  EXPECT_EQ(Reg(0xFEA6), kFea6);
}

// ---------------------------------------------------------------- busy poll

TEST_F(WriteProtectTest, IdleOnThirdReReadSucceedsAfterThreeStalls) {
  AttachVariant(0x05, 0xE7, /*busyReads=*/3);
  EXPECT_TRUE(DisableWriteProtect(Io(), &release));
  EXPECT_EQ(cam->Flash().StatusReads(), 4u);
  EXPECT_THAT(P.Stalls(), ElementsAre(50000u, 50000u, 50000u));
}

TEST_F(WriteProtectTest, IdleOnNineteenthReReadIsTheLastThatSucceeds) {
  AttachVariant(0x05, 0xE7, /*busyReads=*/19);
  EXPECT_TRUE(DisableWriteProtect(Io(), &release));
  EXPECT_EQ(cam->Flash().StatusReads(), 20u);
  EXPECT_EQ(P.Stalls().size(), 19u);
}

TEST_F(WriteProtectTest, IdleOnlyOnTwentiethReReadFails) {
  AttachVariant(0x05, 0xE7, /*busyReads=*/20);
  EXPECT_FALSE(DisableWriteProtect(Io(), &release));
  EXPECT_EQ(cam->Flash().StatusReads(), 21u);
  EXPECT_THAT(P.Stalls(), ElementsAreArray(std::vector<uint64_t>(20, 50000)));
  EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(WriteProtectTest, StuckBusyFailsAfterTwentyReReadsAboutOneSecond) {
  AttachVariant(0x05, 0xE7);
  cam->Flash().Misbehave().stuckBusy = true;
  const uint64_t start = P.NowUs();
  EXPECT_FALSE(DisableWriteProtect(Io(), &release));
  EXPECT_EQ(cam->Flash().StatusReads(), 21u);
  EXPECT_EQ(P.NowUs() - start, 20u * 50000u);
}

TEST_F(WriteProtectTest, FailedReReadEndsThePollAtOnce) {
  AttachVariant(0x05, 0xE7, /*busyReads=*/5);
  cam->Misbehave().stalls.push_back({camera::Request(0xC0, 0x30), /*skip=*/2, /*times=*/1});
  EXPECT_FALSE(DisableWriteProtect(Io(), &release));
  EXPECT_EQ(Names().back(), "ReadSr");
  EXPECT_EQ(cam->Flash().StatusReads(), 2u);  // the third read never reached the flash
  EXPECT_EQ(P.Stalls().size(), 2u);
}

}  // namespace
