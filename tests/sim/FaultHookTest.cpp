// The simulation's fault hooks the robustness sweeps rely on: an IN answer shortened by
// transfer index (the device acts on the request; the controller then fails the short data
// stage or passes it on), and the record of every allocation's size.
#include <cstring>
#include <memory>

#include "platform/Platform.h"
#include "support/SimTest.h"

namespace {

class FaultHookTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    device = std::make_shared<PlainDevice>();
    device->onClassOrVendor = [this](const usb::Setup &, const std::vector<uint8_t> &) {
      answered++;
      return usb::Ack({1, 2, 3, 4, 5, 6, 7, 8});
    };
    io = P.Usb().UsbIo(P.Usb().Attach(device), 0);
    ASSERT_NE(io, nullptr);
  }
  // A vendor IN request for eight bytes into `data`, preset to 0xEE.
  EFI_STATUS Read(uint8_t (&data)[8], UINT32 *usbStatus) {
    std::memset(data, 0xEE, sizeof data);
    EFI_USB_DEVICE_REQUEST setup = {0xC0, 0x42, 0, 0, 8};
    return io->UsbControlTransfer(io, &setup, EfiUsbDataIn, 1000, data, 8, usbStatus);
  }

  std::shared_ptr<PlainDevice> device;
  EFI_USB_IO_PROTOCOL *io = nullptr;
  size_t answered = 0;
};

TEST_F(FaultHookTest, ShortenedAnswerFailsAsOvmfDoesAfterTheDeviceActed) {
  P.Usb().ShortenAnswer(1, 3);
  uint8_t data[8];
  UINT32 usbStatus = 0xFFFF;
  ASSERT_EQ(Read(data, &usbStatus), EFI_SUCCESS);  // transfer 0: whole
  EXPECT_EQ(P.Usb().Transfers()[0].dataIn.size(), 8u);

  usbStatus = 0xFFFF;
  EXPECT_EQ(Read(data, &usbStatus), EFI_DEVICE_ERROR);  // transfer 1: three bytes
  EXPECT_EQ(usbStatus, EFI_USB_NOERROR);
  EXPECT_EQ(answered, 2u);  // the device took both requests
  const uint8_t expected[8] = {1, 2, 3, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(std::memcmp(data, expected, 8), 0);  // what arrived is in the buffer
  const sim::Transfer &t = P.Usb().Transfers()[1];
  EXPECT_TRUE(t.reachedDevice);
  EXPECT_EQ(t.dataIn, (std::vector<uint8_t>{1, 2, 3}));

  EXPECT_EQ(Read(data, &usbStatus), EFI_SUCCESS);  // transfer 2: the hook was used up
}

TEST_F(FaultHookTest, ShortenedAnswerPassesAsSuccessOnAControllerThatDoesNotCheck) {
  P.Usb().ShortAnswersFail(false);
  P.Usb().ShortenAnswer(0, 0);
  uint8_t data[8];
  UINT32 usbStatus = 0xFFFF;
  EXPECT_EQ(Read(data, &usbStatus), EFI_SUCCESS);
  EXPECT_EQ(usbStatus, EFI_USB_NOERROR);
  const uint8_t untouched[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(std::memcmp(data, untouched, 8), 0);
  EXPECT_TRUE(P.Usb().Transfers()[0].dataIn.empty());
}

TEST_F(FaultHookTest, ShortenedAnswerNeverLengthensOne) {
  P.Usb().ShortenAnswer(0, 100);
  uint8_t data[8];
  UINT32 usbStatus = 0;
  EXPECT_EQ(Read(data, &usbStatus), EFI_SUCCESS);
  EXPECT_EQ(P.Usb().Transfers()[0].dataIn.size(), 8u);
}

TEST_F(FaultHookTest, AllocationSizesRecordEveryCallFailedOnesIncluded) {
  P.FailAllocation(2);
  void *a = AllocatePool(24);
  void *b = AllocatePool(7);  // fails
  void *c = AllocateZeroPool(0);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(c, nullptr);
  EXPECT_EQ(P.AllocationSizes(), (std::vector<size_t>{24, 7, 0}));
  EXPECT_EQ(P.AllocationSizes().size(), P.AllocationCalls());
  FreePool(a);
  FreePool(c);
}

}  // namespace
