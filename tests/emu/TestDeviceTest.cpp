// The emulator's test device: its vendor requests and its return as the next device.
#include <gtest/gtest.h>

#include "emu/TestDeviceProtocol.h"
#include "emu/server/TestDevice.h"

namespace {

namespace td = kvr_test_device;

usb::Reply Vendor(emu::TestDevice &device, bool in, uint8_t request, uint16_t value,
                  uint16_t length, std::vector<uint8_t> data = {}) {
  return device.Control(
      usb::Setup{in ? td::kRequestTypeIn : td::kRequestTypeOut, request, value, 0, length}, data);
}

TEST(TestDeviceTest, KeepsDataAndReturnsAtMostWLength) {
  emu::TestDevice device;
  EXPECT_EQ(Vendor(device, false, td::kRequestStore, 0, 4, {1, 2, 3, 4}).outcome,
            usb::Outcome::Ack);
  EXPECT_EQ(Vendor(device, true, td::kRequestStore, 0, 64).data, (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(Vendor(device, true, td::kRequestStore, 0, 2).data, (std::vector<uint8_t>{1, 2}));
  const std::vector<uint8_t> tooMuch(td::kStoreLimit + 1, 0x55);
  EXPECT_EQ(Vendor(device, false, td::kRequestStore, 0, 0, tooMuch).outcome, usb::Outcome::Stall);
  EXPECT_EQ(device.Stored().size(), 4u);
}

TEST(TestDeviceTest, StallsAndNeverAnswersOnRequest) {
  emu::TestDevice device;
  EXPECT_EQ(Vendor(device, true, td::kRequestStall, 0, 8).outcome, usb::Outcome::Stall);
  EXPECT_EQ(Vendor(device, false, td::kRequestNoAnswer, 0, 0).outcome, usb::Outcome::Timeout);
  EXPECT_EQ(Vendor(device, true, 0x7F, 0, 8).outcome, usb::Outcome::Stall);
  // A class request to the device is not one of its requests.
  EXPECT_EQ(device.Control(usb::Setup{0xA1, td::kRequestStore, 0, 0, 8}, {}).outcome,
            usb::Outcome::Stall);
}

TEST(TestDeviceTest, ReturnsAsTheNextDeviceAfterTheDelay) {
  emu::TestDevice device;
  device.Advance(1'000'000);
  EXPECT_EQ(Vendor(device, false, td::kRequestReturnAsNext, 300, 0).outcome, usb::Outcome::Ack);
  EXPECT_FALSE(device.Connected());
  device.Advance(1'299'999);
  EXPECT_FALSE(device.Connected());
  device.Advance(1'300'000);
  EXPECT_TRUE(device.Connected());
  EXPECT_EQ(device.Generation(), 1u);
  EXPECT_EQ(device.Returns(), 1u);
  const std::vector<uint8_t> descriptor = device.DeviceDescriptor();
  EXPECT_EQ(descriptor[12] | (descriptor[13] << 8), td::kBcdDevice + 1);
}

TEST(TestDeviceTest, ReturnDelayMustBeOneToTenSecondsAndOut) {
  emu::TestDevice device;
  EXPECT_EQ(Vendor(device, false, td::kRequestReturnAsNext, 0, 0).outcome, usb::Outcome::Stall);
  EXPECT_EQ(Vendor(device, false, td::kRequestReturnAsNext, td::kReturnLimitMs + 1, 0).outcome,
            usb::Outcome::Stall);
  EXPECT_EQ(Vendor(device, true, td::kRequestReturnAsNext, 100, 1).outcome, usb::Outcome::Stall);
  EXPECT_TRUE(device.Connected());
}

}  // namespace
