// Finding the capsule: the HOB list first, then the "CapsuleOnRam" variable.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "capsule/Capsule.h"
#include "support/SimTest.h"
#include "tools/CapsuleFormat.h"

namespace {

using ::testing::ElementsAre;

const EFI_GUID kCapsuleVendor = EFI_CAPSULE_VENDOR_GUID;

std::vector<uint8_t> Address(const void *p) {
  std::vector<uint8_t> bytes(8);
  uint64_t value = (uint64_t)(uintptr_t)p;
  std::memcpy(bytes.data(), &value, 8);
  return bytes;
}

class LocateCapsuleTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    capsule = capfmt::MakeFvCapsule(capfmt::MakeImage(0x3B5A, 0x4C15, capfmt::Bytes(100, 0x5A)));
    pCapsuleHeader = nullptr;
    dwCapsuleLength = 0;
  }
  void CapsuleOnRam(const void *address, uint32_t attributes) {
    P.SetVariable(KV_CAPSULE_ON_RAM_NAME, kCapsuleVendor, attributes, Address(address));
  }
  capfmt::Bytes capsule;
  uint8_t other[64] = {};
};

TEST_F(LocateCapsuleTest, NoHobListInTheConfigurationTable) {
  EXPECT_EQ(LocateCapsule(), EFI_NOT_FOUND);
  EXPECT_THAT(Log(), ElementsAre("Fail to get HOB.\n"));
}

TEST_F(LocateCapsuleTest, HobListEntryWithoutATable) {
  const EFI_GUID hobList = EFI_HOB_LIST_GUID;
  P.AddConfigurationTable(hobList, nullptr);
  EXPECT_EQ(LocateCapsule(), EFI_INVALID_PARAMETER);
  EXPECT_THAT(Log(), ElementsAre("Fail to check capsule image.\n"));
}

TEST_F(LocateCapsuleTest, FirstCapsuleHobWinsAndTheVariableIsNotRead) {
  CapsuleOnRam(other, EFI_VARIABLE_BOOTSERVICE_ACCESS);
  P.InstallHobList(sim::HobListBuilder()
                       .Raw(EFI_HOB_TYPE_RESOURCE_DESCRIPTOR, std::vector<uint8_t>(40, 1))
                       .Capsule((uintptr_t)capsule.data(), capsule.size())
                       .Capsule((uintptr_t)other, sizeof other));
  EXPECT_EQ(LocateCapsule(), EFI_SUCCESS);
  EXPECT_EQ((void *)pCapsuleHeader, (void *)capsule.data());
  EXPECT_EQ(dwCapsuleLength, capsule.size());
  EXPECT_EQ(P.GetVariableCalls(KV_CAPSULE_ON_RAM_NAME), 0u);
  EXPECT_THAT(Log(), ElementsAre());
}

TEST_F(LocateCapsuleTest, OnlyTheLowThirtyTwoBitsOfTheHobLengthCount) {
  P.InstallHobList(sim::HobListBuilder().Capsule((uintptr_t)capsule.data(), (4ULL << 30) + 4096));
  EXPECT_EQ(LocateCapsule(), EFI_SUCCESS);
  EXPECT_EQ(dwCapsuleLength, 4096u);
}

TEST_F(LocateCapsuleTest, CapsuleVolumeHobOfTheOlderTypeIsTakenToo) {
  P.InstallHobList(
      sim::HobListBuilder().Capsule((uintptr_t)capsule.data(), capsule.size(), EFI_HOB_TYPE_CV));
  EXPECT_EQ(LocateCapsule(), EFI_SUCCESS);
  EXPECT_EQ((void *)pCapsuleHeader, (void *)capsule.data());
}

TEST_F(LocateCapsuleTest, CapsuleOnRamWithBootServiceAccessIsTaken) {
  P.InstallHobList(sim::HobListBuilder());
  CapsuleOnRam(capsule.data(), EFI_VARIABLE_BOOTSERVICE_ACCESS);
  EXPECT_EQ(LocateCapsule(), EFI_SUCCESS);
  EXPECT_EQ((void *)pCapsuleHeader, (void *)capsule.data());
  EXPECT_EQ(dwCapsuleLength, capsule.size());  // the capsule's own CapsuleImageSize
  EXPECT_THAT(Log(), ElementsAre());
  EXPECT_EQ(P.Pool().outstanding, 0u);  // the variable's buffer is released
}

TEST_F(LocateCapsuleTest, CapsuleOnRamWithOtherAttributesIsRefused) {
  P.InstallHobList(sim::HobListBuilder());
  CapsuleOnRam(capsule.data(), EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS);
  EXPECT_EQ(LocateCapsule(), EFI_NOT_FOUND);
  EXPECT_THAT(Log(), ElementsAre("Attribute of capsule is invalid. Attribute = 3\n",
                                 "Fail to check capsule image.\n"));
  EXPECT_EQ(pCapsuleHeader, nullptr);
}

TEST_F(LocateCapsuleTest, CapsuleOnRamOfAnotherSizeOrMissingIsNotFound) {
  P.InstallHobList(sim::HobListBuilder());
  std::vector<uint8_t> sixteen = Address(capsule.data());
  sixteen.resize(16);
  P.SetVariable(KV_CAPSULE_ON_RAM_NAME, kCapsuleVendor, EFI_VARIABLE_BOOTSERVICE_ACCESS, sixteen);
  EXPECT_EQ(LocateCapsule(), EFI_NOT_FOUND);
  P.DeleteVariable(KV_CAPSULE_ON_RAM_NAME, kCapsuleVendor);
  EXPECT_EQ(LocateCapsule(), EFI_NOT_FOUND);
  EXPECT_THAT(Log(), ElementsAre("Variable for capsule is not found.\n",
                                 "Fail to check capsule image.\n",
                                 "Variable for capsule is not found.\n",
                                 "Fail to check capsule image.\n"));
}

TEST_F(LocateCapsuleTest, VariableBufferAllocationOrSecondReadFailing) {
  P.InstallHobList(sim::HobListBuilder());
  CapsuleOnRam(capsule.data(), EFI_VARIABLE_BOOTSERVICE_ACCESS);
  P.FailAllocation(1);
  EXPECT_EQ(LocateCapsule(), EFI_NOT_FOUND);
  P.FailGetVariable(KV_CAPSULE_ON_RAM_NAME, EFI_DEVICE_ERROR);
  EXPECT_EQ(LocateCapsule(), EFI_NOT_FOUND);
  EXPECT_EQ(P.Pool().outstanding, 0u);
}

TEST_F(LocateCapsuleTest, ReadCapsuleOnRamReportsSizeOnlyAfterASuccessfulRead) {
  CapsuleOnRam(capsule.data(), EFI_VARIABLE_BOOTSERVICE_ACCESS);
  UINT32 attributes = 0;
  UINT64 size = 0;
  VOID *data = ReadCapsuleOnRam(&attributes, &size);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(attributes, EFI_VARIABLE_BOOTSERVICE_ACCESS);
  EXPECT_EQ(KvrReadU64((UINT8 *)data), (uint64_t)(uintptr_t)capsule.data());
  FreePool(data);
}

TEST_F(LocateCapsuleTest, NullCapsuleAddressIsRefused) {
  P.InstallHobList(sim::HobListBuilder().Capsule(0, 4096));
  EXPECT_EQ(LocateCapsule(), EFI_NOT_FOUND);
  P.InstallHobList(sim::HobListBuilder());
  CapsuleOnRam(nullptr, EFI_VARIABLE_BOOTSERVICE_ACCESS);
  EXPECT_EQ(LocateCapsule(), EFI_NOT_FOUND);
  EXPECT_THAT(Log(), ElementsAre("Capsule address is NULL.\n", "Fail to check capsule image.\n",
                                 "Capsule address is NULL.\n", "Fail to check capsule image.\n"));
  EXPECT_EQ(P.Pool().outstanding, 0u);
}

TEST_F(LocateCapsuleTest, MalformedHobListEndsTheHobSearch) {
  CapsuleOnRam(capsule.data(), EFI_VARIABLE_BOOTSERVICE_ACCESS);
  P.InstallHobList(sim::HobListBuilder()
                       .Raw(EFI_HOB_TYPE_GUID_EXTENSION, std::vector<uint8_t>(16), 0)
                       .Capsule((uintptr_t)other, sizeof other));
  EXPECT_EQ(LocateCapsule(), EFI_SUCCESS);  // from the variable
  EXPECT_EQ((void *)pCapsuleHeader, (void *)capsule.data());
  EXPECT_THAT(Log(), ElementsAre("HOB list is malformed: HOB of type 0x4 with length 0.\n"));
}

TEST_F(LocateCapsuleTest, TruncatedCapsuleHobIsNotRead) {
  P.InstallHobList(sim::HobListBuilder().Raw(EFI_HOB_TYPE_UEFI_CAPSULE, {}, 8));
  EXPECT_EQ(LocateCapsule(), EFI_NOT_FOUND);
  EXPECT_THAT(Log(), ElementsAre("Capsule HOB is too short (8 bytes).\n",
                                 "Variable for capsule is not found.\n",
                                 "Fail to check capsule image.\n"));
}

}  // namespace
