// The FMP capsule named by the address variable on INSYDE platforms.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "capsule/Capsule.h"
#include "support/SimTest.h"
#include "tools/CapsuleFormat.h"

namespace {

using ::testing::ElementsAre;
using capfmt::Bytes;

const EFI_GUID kAddressGuid = KV_CAPSULE_ADDRESS_VARIABLE_GUID;

class FmpCapsuleTest : public SimTest {
 protected:
  void Announce(const Bytes &capsule, size_t variableSize = 8) {
    std::vector<uint8_t> data(variableSize, 0);
    uint64_t address = (uint64_t)(uintptr_t)capsule.data();
    std::memcpy(data.data(), &address, std::min<size_t>(8, variableSize));
    P.SetVariable(KV_CAPSULE_ADDRESS_NAME, kAddressGuid, EFI_VARIABLE_BOOTSERVICE_ACCESS, data);
  }
  static size_t FmpStart() { return 32; }  // capsule HeaderSize as kvrcap writes it
  static uint64_t ItemOffset(const Bytes &capsule, size_t position) {
    uint64_t offset;
    std::memcpy(&offset, &capsule[FmpStart() + 8 + 8 * position], 8);
    return offset;
  }
  static std::string AddressLine(const Bytes &capsule) {
    char line[80];
    std::snprintf(line, sizeof line, "KorvaneCameraCapsuleAddress = %x\n",
                  (unsigned)(uintptr_t)capsule.data());
    return line;
  }
  Bytes image = capfmt::MakeImage(0x3B5A, 0x4C15, Bytes(64, 0x80));
};

TEST_F(FmpCapsuleTest, LastPayloadItemWinsAndDriversAreSkipped) {
  Bytes capsule = capfmt::MakeFmpCapsule(image, {.drivers = 1, .items = 2});
  Announce(capsule);
  VOID *found = GetImageFromAddressVariable();
  ASSERT_NE(found, nullptr);
  EXPECT_EQ((const uint8_t *)found, capsule.data() + FmpStart() + ItemOffset(capsule, 2) + 40);
  EXPECT_EQ(std::memcmp(found, image.data(), image.size()), 0);
  EXPECT_EQ(dwImageLength, image.size());
  // Bytes 8, 16 and 17 of the FMP header are the low byte of list entry 0 (the driver at
  // 0x20) and the two low bytes of entry 1 (item 0 at 0x60); the image starts with a zero.
  EXPECT_THAT(Log(), ElementsAre("Inside BIOS Prepare to Get KorvaneCameraCapsuleAddress\n",
                                 AddressLine(capsule), "1 TempData = 20\n", "2 TempData = 60\n",
                                 "3 TempData = 0\n", "Final TempData = 0\n"));
}

TEST_F(FmpCapsuleTest, TempDataBytesPrintSignExtended) {
  // Bytes 16 and 17 of the FMP header are the first two of item 0 (at 0x10), the low bytes
  // of its header's Version, which nothing reads; the image's first byte is reserved in its
  // header. The capsule stays usable, so every line is printed, the last one too.
  Bytes capsule = capfmt::MakeFmpCapsule(image);
  capsule[FmpStart() + 16] = 0x80;
  capsule[FmpStart() + 17] = 0xFF;
  capsule[FmpStart() + ItemOffset(capsule, 0) + 40] = 0xC3;
  Announce(capsule);
  const VOID *found = GetImageFromAddressVariable();
  EXPECT_EQ((const uint8_t *)found, capsule.data() + FmpStart() + ItemOffset(capsule, 0) + 40);
  EXPECT_THAT(Log(), ElementsAre("Inside BIOS Prepare to Get KorvaneCameraCapsuleAddress\n",
                                 AddressLine(capsule), "1 TempData = 10\n",
                                 "2 TempData = ffffff80\n", "3 TempData = ffffffff\n",
                                 "Final TempData = ffffffc3\n"));
}

TEST_F(FmpCapsuleTest, NoPayloadItemYieldsNoImage) {
  Bytes capsule = capfmt::MakeFmpCapsule(image, {.drivers = 1, .items = 1});
  capsule[FmpStart() + 6] = 0;  // PayloadItemCount
  Announce(capsule);
  dwImageLength = 7;
  EXPECT_EQ(GetImageFromAddressVariable(), nullptr);
  EXPECT_EQ(dwImageLength, 7u);
  // The driver at 0x18 and the item at 0x58 are still listed; without a payload item the
  // walk ends after the diagnostic bytes, with no image and no line of its own.
  EXPECT_THAT(Log(), ElementsAre("Inside BIOS Prepare to Get KorvaneCameraCapsuleAddress\n",
                                 AddressLine(capsule), "1 TempData = 18\n",
                                 "2 TempData = 58\n", "3 TempData = 0\n"));
}

TEST_F(FmpCapsuleTest, AddressVariableMissingLongOrShortYieldsNoImage) {
  Bytes capsule = capfmt::MakeFmpCapsule(image);
  EXPECT_EQ(GetImageFromAddressVariable(), nullptr);
  Announce(capsule, 16);
  EXPECT_EQ(GetImageFromAddressVariable(), nullptr);
  Announce(capsule, 4);
  EXPECT_EQ(GetImageFromAddressVariable(), nullptr);
  EXPECT_THAT(Log(), ElementsAre("Inside BIOS Prepare to Get KorvaneCameraCapsuleAddress\n",
                                 "Inside BIOS Prepare to Get KorvaneCameraCapsuleAddress\n",
                                 "Inside BIOS Prepare to Get KorvaneCameraCapsuleAddress\n",
                                 "KorvaneCameraCapsuleAddress holds 4 bytes, not an 8-byte address.\n"));
}

TEST_F(FmpCapsuleTest, NullAddressIsRefused) {
  P.SetVariable(KV_CAPSULE_ADDRESS_NAME, kAddressGuid, EFI_VARIABLE_BOOTSERVICE_ACCESS,
                std::vector<uint8_t>(8, 0));
  EXPECT_EQ(GetImageFromAddressVariable(), nullptr);
  EXPECT_EQ(Log().back(), "Capsule address is NULL.\n");
}

TEST_F(FmpCapsuleTest, ItemOffsetOutsideTheCapsuleYieldsNoImage) {
  Bytes capsule = capfmt::MakeFmpCapsule(image, {.drivers = 0, .items = 2});
  uint64_t beyond = capsule.size();
  std::memcpy(&capsule[FmpStart() + 8], &beyond, 8);  // the first item now points past the end
  Announce(capsule);
  EXPECT_EQ(GetImageFromAddressVariable(), nullptr);
  EXPECT_EQ(Log().back(), "FMP payload item 0 lies outside the capsule.\n");
}

TEST_F(FmpCapsuleTest, ItemImageReachingPastTheCapsuleYieldsNoImage) {
  Bytes capsule = capfmt::MakeFmpCapsule(image);
  size_t sizeField = FmpStart() + ItemOffset(capsule, 0) + 24;
  uint32_t huge = 0xFFFFFFF0;
  std::memcpy(&capsule[sizeField], &huge, 4);
  Announce(capsule);
  EXPECT_EQ(GetImageFromAddressVariable(), nullptr);
  EXPECT_EQ(Log().back(), "FMP payload item 0 lies outside the capsule.\n");
}

TEST_F(FmpCapsuleTest, OffsetListOrHeaderOutsideTheCapsuleYieldsNoImage) {
  Bytes capsule = capfmt::MakeFmpCapsule(image);
  capsule[FmpStart() + 6] = 0xFF;  // PayloadItemCount: the list now runs past the end
  capsule[FmpStart() + 7] = 0xFF;
  VOID *found = nullptr;
  EXPECT_EQ(GetFmpPayloadImage((EFI_CAPSULE_HEADER *)capsule.data(), &found), EFI_SUCCESS);
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(Log().back(), "FMP item offset list lies outside the capsule.\n");

  Bytes tiny = capfmt::MakeFmpCapsule(image);
  uint32_t headerSize = (uint32_t)tiny.size();  // the FMP header would start at the end
  std::memcpy(&tiny[16], &headerSize, 4);
  EXPECT_EQ(GetFmpPayloadImage((EFI_CAPSULE_HEADER *)tiny.data(), &found), EFI_SUCCESS);
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(Log().back(), "FMP capsule header lies outside the capsule.\n");
}

}  // namespace
