// The private data record and its firmware image descriptor.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "driver/Driver.h"
#include "support/SimTest.h"

namespace {

using ::testing::ElementsAre;

class PrivateDataTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    pKVFmpPrivateData = (FmpPrivateData *)AllocateZeroPool(sizeof(FmpPrivateData));
    ASSERT_NE(pKVFmpPrivateData, nullptr);
  }
  void TearDown() override {
    if (pKVFmpPrivateData != nullptr) {
      if (pKVFmpPrivateData->pDescriptor != nullptr) {
        FreePool(pKVFmpPrivateData->pDescriptor);
      }
      FreePool(pKVFmpPrivateData);
      pKVFmpPrivateData = nullptr;
    }
    SimTest::TearDown();
  }
  FmpPrivateData &Record() { return *pKVFmpPrivateData; }
};

TEST_F(PrivateDataTest, FreshRecordGetsItsIdentityAndOneDescriptor) {
  ASSERT_EQ(InitializeKVDescriptor(), EFI_SUCCESS);

  EXPECT_EQ(std::memcmp(&Record().dwSignature, "KVPD", 4), 0);
  EXPECT_EQ(Record().dwPackageVersion, 1u);
  EXPECT_EQ(std::u16string(Record().pPackageName), u"KvrUefiCapsule");
  EXPECT_EQ(Record().bDescriptorCount, 1);
  EXPECT_THAT(Log(), ElementsAre("KvrFmpDriver: ----> InitializeKVDescriptor()\n"));

  const EFI_FIRMWARE_IMAGE_DESCRIPTOR &d = Record().pDescriptor[0];
  const EFI_GUID typeId = {0x517E0EE9, 0x1838, 0x4B22,
                           {0x97, 0x3B, 0x4F, 0xDA, 0x03, 0x31, 0x3A, 0xE2}};
  EXPECT_EQ(d.ImageIndex, 1);
  EXPECT_EQ(std::memcmp(&d.ImageTypeId, &typeId, sizeof typeId), 0);
  EXPECT_EQ(d.ImageId, 0x1234u);
  EXPECT_EQ(d.ImageIdName, nullptr);
  EXPECT_EQ(d.Version, 0xB0000489u);
  EXPECT_EQ(d.VersionName, nullptr);
  EXPECT_EQ(d.Size, 0x20000u);
  EXPECT_EQ(d.AttributesSupported, 0xFu);
  EXPECT_EQ(d.AttributesSetting, 0xFu);
  EXPECT_EQ(d.Compatibilities, 0u);
  EXPECT_EQ(d.LowestSupportedImageVersion, 0xB0000488u);
  EXPECT_EQ(d.LastAttemptVersion, 0u);
  EXPECT_EQ(d.LastAttemptStatus, 0u);
  EXPECT_EQ(d.HardwareInstance, 0u);
  EXPECT_EQ(d.Dependencies, nullptr);
  // Padding and everything not set stays zero: the array comes zero-filled.
  const UINT8 *bytes = reinterpret_cast<const UINT8 *>(&d);
  EXPECT_EQ(bytes[1] | bytes[2] | bytes[3], 0);
}

TEST_F(PrivateDataTest, DeviceTableIsLeftUntouched) {
  ASSERT_EQ(InitializeKVDescriptor(), EFI_SUCCESS);
  EXPECT_EQ(Record().wCount, 0);
  EXPECT_EQ(Record().pDevicePath, nullptr);
  for (int i = 0; i < FMP_DEVICE_MAX; i++) {
    EXPECT_EQ(Record().pUsbIo[i], nullptr);
    EXPECT_EQ(Record().wVID[i] | Record().wPID[i] | Record().wFwVersion[i] | Record().wMode[i] |
                  Record().wInterfaceNumber[i],
              0);
  }
}

TEST_F(PrivateDataTest, SecondCallReplacesTheDescriptorArrayWithoutLeaking) {
  ASSERT_EQ(InitializeKVDescriptor(), EFI_SUCCESS);
  EFI_FIRMWARE_IMAGE_DESCRIPTOR *first = Record().pDescriptor;
  first->Version = 0x0105;  // as the update run does with the camera's bcdDevice

  ASSERT_EQ(InitializeKVDescriptor(), EFI_SUCCESS);
  // The host's allocator may hand the freed array's address straight back (it does without
  // AddressSanitizer): then only the count below tells the old array was freed.
  if (Record().pDescriptor != first) {
    EXPECT_FALSE(P.IsLiveAllocation(first));
  }
  EXPECT_EQ(Record().pDescriptor[0].Version, 0xB0000489u);
  EXPECT_EQ(P.Pool().outstanding, 2u);  // the record and one descriptor array
}

TEST_F(PrivateDataTest, DescriptorAllocationFailureLeavesNoArray) {
  P.FailAllocation(2);  // the first allocation is the trace message
  EXPECT_EQ(InitializeKVDescriptor(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Record().pDescriptor, nullptr);
  EXPECT_EQ(Record().bDescriptorCount, 1);
  EXPECT_EQ(Record().dwSignature, KV_PRIVATE_DATA_SIGNATURE);
  EXPECT_EQ(P.Pool().outstanding, 1u);
}

TEST_F(PrivateDataTest, FailureOnSecondCallFreesTheOldArrayAndLeavesNone) {
  ASSERT_EQ(InitializeKVDescriptor(), EFI_SUCCESS);
  P.FailAllocation(2);
  EXPECT_EQ(InitializeKVDescriptor(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Record().pDescriptor, nullptr);
  EXPECT_EQ(P.Pool().outstanding, 1u);
}

TEST_F(PrivateDataTest, LostTraceMessageDoesNotChangeTheResult) {
  P.FailAllocation(1);
  P.FailAllocation(2);  // the message and its warning
  EXPECT_EQ(InitializeKVDescriptor(), EFI_SUCCESS);
  EXPECT_NE(Record().pDescriptor, nullptr);
}

TEST_F(PrivateDataTest, MissingRecordIsRefused) {
  FmpPrivateData *record = pKVFmpPrivateData;
  pKVFmpPrivateData = nullptr;
  EXPECT_EQ(InitializeKVDescriptor(), EFI_INVALID_PARAMETER);
  pKVFmpPrivateData = record;
}

}  // namespace
