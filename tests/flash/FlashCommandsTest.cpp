// Memory, flash and status-register commands: the request each one sends, what it moves,
// and the two log lines of a refused request.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "flash/FlashFixture.h"

namespace {

using namespace flashpath;

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class FlashCommandsTest : public FlashTest {
 protected:
  void SetUp() override {
    FlashTest::SetUp();
    camera::Config config;
    config.flash.statusRegister = 0x00;  // unprotected, so that writes take effect
    config.flash.memory[camera::kLineControl] = 0x04;
    config.flash.memory[camera::kLineLevel] = 0x04;
    AttachCamera(std::move(config));
    EnterUpdateMode();
  }
};

TEST_F(FlashCommandsTest, WriteFlashSplitsTheAddressOverValueAndIndex) {
  const std::vector<uint8_t> piece = Image(4096, 7);
  ASSERT_TRUE(EraseFlash(Io()));
  P.Usb().ClearTransfers();
  // Bits 24-31 of the address are not sent.
  EXPECT_TRUE(WriteFlash(Io(), 0xAB012345, 4096, piece.data()));
  EXPECT_THAT(Wire(), ElementsAre(WireRequest{0x40, 0x2F, 0x0100, 0x2345, 0x1000, EfiUsbDataOut,
                                              5000}));
  EXPECT_EQ(Transfers()[0].dataOut, piece);
  EXPECT_EQ(cam->Flash().Contents(0x012345, 4096), piece);
  EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(FlashCommandsTest, ReadFlashSplitsTheAddressOverValueAndIndex) {
  std::vector<uint8_t> data(0x100, 0);
  EXPECT_TRUE(ReadFlash(Io(), 0x00F000, 0x100, data.data()));
  EXPECT_TRUE(ReadFlash(Io(), 0x02F000, 0x100, data.data()));
  EXPECT_THAT(Wire(),
              ElementsAre(WireRequest{0xC0, 0x2E, 0x0000, 0xF000, 0x100, EfiUsbDataIn, 5000},
                          WireRequest{0xC0, 0x2E, 0x0200, 0xF000, 0x100, EfiUsbDataIn, 5000}));
  EXPECT_EQ(data, cam->Flash().Contents(0x02F000, 0x100));
}

TEST_F(FlashCommandsTest, ReadMemCarriesTheAddressInIndex) {
  UINT8 variant[2] = {0, 0};
  EXPECT_TRUE(ReadMem(Io(), 0xFE21, 2, variant));
  EXPECT_THAT(Wire(), ElementsAre(WireRequest{0xC0, 0x25, 0x0000, 0xFE21, 2, EfiUsbDataIn, 5000}));
  EXPECT_EQ(Bytes(variant, 2), std::vector<uint8_t>({0x05, 0xE7}));
}

TEST_F(FlashCommandsTest, WriteMemCarriesTheAddressInIndex) {
  const UINT8 value = 0x5A;
  EXPECT_TRUE(WriteMem(Io(), 0xFEA6, 1, &value));
  EXPECT_THAT(Wire(), ElementsAre(WireRequest{0x40, 0x24, 0x0000, 0xFEA6, 1, EfiUsbDataOut, 5000}));
  EXPECT_EQ(cam->Flash().Memory(0xFEA6), 0x5A);
}

TEST_F(FlashCommandsTest, StatusRegisterMovesOneByte) {
  EXPECT_TRUE(WriteSr(Io(), 0x8C));
  UINT8 sr = 0;
  EXPECT_TRUE(ReadSr(Io(), &sr));
  EXPECT_THAT(Wire(), ElementsAre(WireRequest{0x40, 0x31, 0, 0, 1, EfiUsbDataOut, 5000},
                                  WireRequest{0xC0, 0x30, 0, 0, 1, EfiUsbDataIn, 5000}));
  EXPECT_EQ(Transfers()[0].dataOut, std::vector<uint8_t>({0x8C}));
  EXPECT_EQ(sr, 0x8C | KV_SR_BUSY);  // the write has just started
  EXPECT_EQ(cam->Flash().StatusRegister(), 0x8C);
}

TEST_F(FlashCommandsTest, EraseAndTagGoOutWithoutDataStage) {
  EXPECT_TRUE(EraseFlash(Io()));
  EXPECT_TRUE(WriteTag(Io()));
  EXPECT_THAT(Wire(), ElementsAre(WireRequest{0x40, 0x32, 0, 0, 0, EfiUsbNoData, 5000},
                                  WireRequest{0x40, 0x34, 0, 0, 0, EfiUsbNoData, 5000}));
  for (const sim::Transfer &t : Transfers()) {
    EXPECT_TRUE(t.reachedDevice);
    EXPECT_EQ(t.dataLength, 0u);
  }
  EXPECT_EQ(cam->Flash().Erases(), 1u);
  EXPECT_TRUE(cam->Flash().Tagged());
}

TEST_F(FlashCommandsTest, RefusedRequestReturnsFalseAfterTwoLines) {
  UINT8 byte = 0;
  std::vector<uint8_t> piece(16, 0);
  const struct {
    uint8_t bRequest;
    std::function<BOOLEAN()> call;
    const char *line;
  } cases[] = {
      {0x25, [&] { return ReadMem(Io(), 0xFEA0, 1, &byte); }, "ReadMem fail"},
      {0x24, [&] { return WriteMem(Io(), 0xFEA0, 1, &byte); }, "WriteMem fail"},
      {0x30, [&] { return ReadSr(Io(), &byte); }, "ReadSr fail"},
      {0x31, [&] { return WriteSr(Io(), 0); }, "WritsSr fail"},
      {0x32, [&] { return EraseFlash(Io()); }, "EraseFlash fail"},
      {0x2E, [&] { return ReadFlash(Io(), 0, 16, piece.data()); }, "ReadFlash fail"},
      {0x2F, [&] { return WriteFlash(Io(), 0, 16, piece.data()); }, "WriteFlash fail"},
      {0x34, [&] { return WriteTag(Io()); }, "WriteTag fail"},
  };
  for (const auto &c : cases) {
    sim::ClearCapturedLog();
    P.Usb().FailMatching({.bRequest = c.bRequest}, EFI_DEVICE_ERROR, EFI_USB_ERR_STALL, 1);
    EXPECT_FALSE(c.call()) << c.line;
    EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver Error:SendVendorRequest failed: Status Device "
                                   "Error, UsbResult 0x2.\n",
                                   std::string("KvrFmpDriver Error:SendVendorRequest ") + c.line +
                                       " Device Error\n"));
  }
}

// A status answer without its byte must not read as an idle flash.
TEST_F(FlashCommandsTest, StatusAnswerWithoutItsByteReadsAsBusy) {
  P.Usb().ShortAnswersFail(false);  // a host controller that reports short answers as success
  auto device = std::make_shared<PlainDevice>();
  device->onClassOrVendor = [](const usb::Setup &, const std::vector<uint8_t> &) {
    return usb::Ack();
  };
  const uint8_t port = P.Usb().Attach(device);
  EFI_USB_IO_PROTOCOL *io = P.Usb().UsbIo(port, 0);
  KvrUsbBind(P.Usb().Handles(port).at(0), io);  // as the driver takes it from its handle
  UINT8 sr = 0x00;
  EXPECT_TRUE(ReadSr(io, &sr));
  EXPECT_EQ(sr, 0xFF);
}

}  // namespace
