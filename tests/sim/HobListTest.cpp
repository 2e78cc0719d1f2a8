// The HOB list builder: layout of the list the driver walks, and the configuration table.
#include <cstring>

#include "platform/Platform.h"
#include "support/SimTest.h"

namespace {

using HobListTest = SimTest;

uint16_t U16(const uint8_t *p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
uint64_t U64(const uint8_t *p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

TEST_F(HobListTest, PhitFirstThenHobsInOrderThenEnd) {
  auto *list = static_cast<const uint8_t *>(P.InstallHobList(
      sim::HobListBuilder().Capsule(0x1000, 0x2000).Raw(EFI_HOB_TYPE_GUID_EXTENSION, {1, 2, 3})));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(list) % 8, 0u);

  EXPECT_EQ(U16(list + 0), EFI_HOB_TYPE_HANDOFF);
  EXPECT_EQ(U16(list + 2), sizeof(EFI_HOB_HANDOFF_INFO_TABLE));
  const uint8_t *capsule = list + 56;
  EXPECT_EQ(U16(capsule + 0), EFI_HOB_TYPE_UEFI_CAPSULE);
  EXPECT_EQ(U16(capsule + 2), 24u);
  EXPECT_EQ(U64(capsule + 8), 0x1000u);
  EXPECT_EQ(U64(capsule + 16), 0x2000u);
  const uint8_t *raw = capsule + 24;
  EXPECT_EQ(U16(raw + 0), EFI_HOB_TYPE_GUID_EXTENSION);
  EXPECT_EQ(U16(raw + 2), 16u);
  EXPECT_EQ(raw[8], 1);
  EXPECT_EQ(raw[10], 3);
  const uint8_t *end = raw + 16;
  EXPECT_EQ(U16(end + 0), EFI_HOB_TYPE_END_OF_HOB_LIST);
  EXPECT_EQ(U16(end + 2), 8u);
  EXPECT_EQ(U64(list + offsetof(EFI_HOB_HANDOFF_INFO_TABLE, EfiEndOfHobList)),
            reinterpret_cast<uintptr_t>(end));
}

TEST_F(HobListTest, ListIsInTheConfigurationTable) {
  void *list = P.InstallHobList(sim::HobListBuilder());
  ASSERT_EQ(SystemTable->NumberOfTableEntries, 1u);
  EXPECT_TRUE(KvrCompareGuid(&SystemTable->ConfigurationTable[0].VendorGuid, &gEfiHobListGuid));
  EXPECT_EQ(SystemTable->ConfigurationTable[0].VendorTable, list);

  void *replacement = P.InstallHobList(sim::HobListBuilder());
  ASSERT_EQ(SystemTable->NumberOfTableEntries, 1u);
  EXPECT_EQ(SystemTable->ConfigurationTable[0].VendorTable, replacement);
}

TEST_F(HobListTest, LengthOverrideAndMissingEndAreBuiltAsAsked) {
  auto *list = static_cast<const uint8_t *>(P.InstallHobList(
      sim::HobListBuilder().Raw(EFI_HOB_TYPE_UEFI_CAPSULE, std::vector<uint8_t>(16), 0).NoEnd()));
  EXPECT_EQ(U16(list + 56 + 2), 0u);
  EXPECT_EQ(U64(list + offsetof(EFI_HOB_HANDOFF_INFO_TABLE, EfiEndOfHobList)),
            reinterpret_cast<uintptr_t>(list + 56 + 24));
}

}  // namespace
