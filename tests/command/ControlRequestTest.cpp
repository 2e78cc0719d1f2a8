// The control request wrappers and the extension-unit command channel, judged by the
// bytes on the wire and the log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "camera/CameraFixture.h"
#include "discovery/Discovery.h"
#include "command/Command.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::vector<uint8_t> kRecoveryBlock{0xFF, 0, 0, 0, 0, 0, 0, 0};

class ControlRequestTest : public CameraTest {
 protected:
  void SetUp() override {
    CameraTest::SetUp();
    cam = Attach();
  }
  std::shared_ptr<camera::Camera> cam;
  UINT8 block[8] = {0x00, 0xD0, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00};
};

// ---------------------------------------------------------------- wire format

TEST_F(ControlRequestTest, XuRequestPutsSelectorInValueAndEntityInIndex) {
  // Bits 8-15 of the target are ignored by the extension-unit form.
  const UINT32 target = 0x0A | 0x7700 | (6u << 16) | (0u << 24);
  EXPECT_EQ(SendXuControlRequest(Io(), target, 0x21, 0x01, block, 8), EFI_SUCCESS);
  ASSERT_EQ(Transfers().size(), 1u);
  EXPECT_EQ(WireRequest::Of(Transfers()[0]), XuSetCur(6));
  EXPECT_EQ(Transfers()[0].dataOut, Bytes(block, 8));
  EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(ControlRequestTest, InterfaceNumberBecomesLowByteOfIndex) {
  SendXuControlRequest(Io(), 0x0B | (0x12u << 16) | (0x03u << 24), 0xA1, 0x81, block,
                       8);
  EXPECT_EQ(Transfers()[0].setup.Value, 0x0B00);
  EXPECT_EQ(Transfers()[0].setup.Index, 0x1203);
}

TEST_F(ControlRequestTest, RawRequestTakesTheWholeValue) {
  // A DFU_DETACH as the DFU path sends it: wValue 0x1388, interface 2.
  SendControlRequest(Io(), 0x1388 | (2u << 24), 0x21, 0x00, NULL, 0);
  ASSERT_EQ(Transfers().size(), 1u);
  EXPECT_EQ(WireRequest::Of(Transfers()[0]),
            (WireRequest{0x21, 0x00, 0x1388, 0x0002, 0, EfiUsbNoData, 5000}));
}

TEST_F(ControlRequestTest, ZeroLengthGoesOutWithoutDataStageWhateverTheDirection) {
  SendXuControlRequest(Io(), 0x0A | (6u << 16), 0x21, 0x01, block, 0);
  SendControlRequest(Io(), 0x0A00 | (6u << 16), 0xA1, 0x81, block, 0);
  SendVendorRequest(Io(), 0x40, 0x32, 0, 0, block, 0);
  ASSERT_EQ(Transfers().size(), 3u);
  for (const sim::Transfer &t : Transfers()) {
    EXPECT_EQ(t.direction, EfiUsbNoData);
    EXPECT_EQ(t.dataLength, 0u);
    EXPECT_TRUE(t.reachedDevice) << "refused by the host controller: " << t.status;
  }
}

TEST_F(ControlRequestTest, VendorRequestCarriesValueIndexAndLength) {
  UINT8 data[2] = {0};
  SendVendorRequest(Io(), 0xC0, 0x25, 0x0000, 0xFE21, data, 2);
  ASSERT_EQ(Transfers().size(), 1u);
  EXPECT_EQ(WireRequest::Of(Transfers()[0]),
            (WireRequest{0xC0, 0x25, 0x0000, 0xFE21, 2, EfiUsbDataIn, 5000}));
  EXPECT_EQ(Transfers()[0].dataLength, 2u);
}

TEST_F(ControlRequestTest, VendorRequestLongerThanAControlTransferIsRefusedUnsent) {
  EXPECT_EQ(SendVendorRequest(Io(), 0x40, 0x2F, 0, 0, block, 0x10000),
            EFI_INVALID_PARAMETER);
  EXPECT_THAT(Transfers(), IsEmpty());
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver Error:SendVendorRequest failed: Status Invalid "
                                 "Parameter, UsbResult 0x0.\n"));
}

// ---------------------------------------------------------------- failure handling

TEST_F(ControlRequestTest, SuccessWithUsbErrorBecomesDeviceError) {
  P.Usb().FailTransfer(0, EFI_SUCCESS, EFI_USB_ERR_CRC);
  EXPECT_EQ(SendXuControlRequest(Io(), 0x0A | (6u << 16), 0x21, 0x01, block, 8),
            EFI_DEVICE_ERROR);
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver Error:SendControlRequest failed: Status Success, "
                                 "UsbResult 0x20, entityID 6.\n"));
}

TEST_F(ControlRequestTest, ErrorWithoutUsbStatusIsPassedUpUnchanged) {
  P.Usb().FailTransfer(0, EFI_TIMEOUT, EFI_USB_NOERROR);
  EXPECT_EQ(SendControlRequest(Io(), 0x0A00 | (9u << 16), 0x21, 0x01, block, 8),
            EFI_TIMEOUT);
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver Error:SendControlRequest failed: Status Time out, "
                                 "UsbResult 0x0, entityID 9.\n"));
}

TEST_F(ControlRequestTest, StalledVendorRequestIsDeviceErrorWithItsOwnLine) {
  // The runtime camera has no flash behind it yet: it stalls a flash read.
  UINT8 data[4];
  EXPECT_EQ(SendVendorRequest(Io(), 0xC0, 0x2E, 0, 0, data, 4), EFI_DEVICE_ERROR);
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver Error:SendVendorRequest failed: Status Device "
                                 "Error, UsbResult 0x2.\n"));
}

// ---------------------------------------------------------------- XuUnitId

TEST_F(ControlRequestTest, CommandsGoToUnitFourUntilTheProbeStoresTheCameraUnit) {
  camera::Config other;
  other.extensionUnits = {{9, camera::kCameraXuGuid}};
  Attach(other);
  UINT8 answer[8];
  VendorGetCmd(Io(), answer);
  ASSERT_TRUE(FindCameraExtensionUnit(Io(0, 1)));
  VendorSetCmd(Io(0, 1), cmdGetDevQualify);
  VendorGetCmd(Io(0, 1), answer);

  ASSERT_EQ(Transfers().size(), 4u);
  EXPECT_EQ(WireRequest::Of(Transfers()[0]), XuGetCur(4));
  EXPECT_EQ(WireRequest::Of(Transfers()[2]), XuSetCur(9));
  EXPECT_EQ(WireRequest::Of(Transfers()[3]), XuGetCur(9));
  EXPECT_EQ(Transfers()[3].dataIn, std::vector<uint8_t>({'V', 'O', 'S', 'K', 'A', 'R', 'N', 0}));
}

// ---------------------------------------------------------------- VendorSetCmd recovery

TEST_F(ControlRequestTest, AcceptedBlockIsOneTransfer) {
  XuUnitId = 6;
  EXPECT_EQ(VendorSetCmd(Io(), block), EFI_SUCCESS);
  ASSERT_EQ(Transfers().size(), 1u);
  EXPECT_EQ(WireRequest::Of(Transfers()[0]), XuSetCur(6));
  EXPECT_EQ(cam->RecoveryBlocks(), 0u);
}

TEST_F(ControlRequestTest, RefusedBlockIsFollowedByOneRecoveryBlock) {
  XuUnitId = 6;
  cam->Misbehave().stalls.push_back({camera::CommandBlock(0xD0)});
  EXPECT_EQ(VendorSetCmd(Io(), block), EFI_DEVICE_ERROR);

  ASSERT_EQ(Transfers().size(), 2u);
  EXPECT_EQ(Transfers()[0].dataOut, Bytes(block, 8));
  EXPECT_EQ(WireRequest::Of(Transfers()[1]), XuSetCur(6));
  EXPECT_EQ(Transfers()[1].dataOut, kRecoveryBlock);
  EXPECT_EQ(cam->RecoveryBlocks(), 1u);
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver Error:SendControlRequest failed: Status Device "
                                 "Error, UsbResult 0x2, entityID 6.\n",
                                 "KvrFmpDriver Error:VendorSetCmd fail, Status Device Error, "
                                 "entity id 6,len 8\n"));
}

TEST_F(ControlRequestTest, DeviceRefusingEverythingGetsTwoSendsAndTheFirstStatus) {
  XuUnitId = 6;
  P.Usb().FailTransfer(0, EFI_TIMEOUT, EFI_USB_NOERROR);
  P.Usb().FailTransfer(1, EFI_NO_RESPONSE, EFI_USB_NOERROR);
  P.Usb().FailTransfer(2, EFI_NO_RESPONSE, EFI_USB_NOERROR);
  EXPECT_EQ(VendorSetCmd(Io(), block), EFI_TIMEOUT);
  ASSERT_EQ(Transfers().size(), 2u);
  EXPECT_EQ(Transfers()[1].dataOut, kRecoveryBlock);
  EXPECT_THAT(Log(),
              ElementsAre("KvrFmpDriver Error:SendControlRequest failed: Status Time out, "
                          "UsbResult 0x0, entityID 6.\n",
                          "KvrFmpDriver Error:VendorSetCmd fail, Status Time out, entity id "
                          "6,len 8\n",
                          "KvrFmpDriver Error:SendControlRequest failed: Status No Response, "
                          "UsbResult 0x0, entityID 6.\n",
                          "KvrFmpDriver Error:VendorSetCmd fail, Status No Response, entity id "
                          "6,len 8\n"));
}

TEST_F(ControlRequestTest, RefusedRecoveryBlockIsNotRecoveredAgain) {
  XuUnitId = 6;
  P.Usb().FailTransfer(0, EFI_DEVICE_ERROR, EFI_USB_ERR_STALL);
  EXPECT_EQ(VendorSetCmd(Io(), cmdRecovery), EFI_DEVICE_ERROR);
  EXPECT_EQ(Transfers().size(), 1u);
}

TEST_F(ControlRequestTest, FailedAnswerReadSendsNothingFurther) {
  XuUnitId = 6;
  UINT8 answer[8];
  EXPECT_EQ(VendorGetCmd(Io(), answer), EFI_DEVICE_ERROR);  // no command asked for data
  ASSERT_EQ(Transfers().size(), 1u);
  EXPECT_EQ(WireRequest::Of(Transfers()[0]), XuGetCur(6));
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver Error:SendControlRequest failed: Status Device "
                                 "Error, UsbResult 0x2, entityID 6.\n",
                                 "KvrFmpDriver Error:VendorGetCmd fail, Status Device Error\n"));
}

}  // namespace
