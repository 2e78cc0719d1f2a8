// The firmware image itself: a PE32+ boot-service driver for x86-64 that imports nothing and
// enters at the driver's entry point. Read from the file that make links.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint16_t kSubsystemEfiBootServiceDriver = 11;
constexpr size_t kImportDirectory = 1;
constexpr size_t kRelocationDirectory = 5;

uint16_t U16(const std::vector<uint8_t> &b, size_t at) { return (uint16_t)(b[at] | (b[at + 1] << 8)); }
uint32_t U32(const std::vector<uint8_t> &b, size_t at) {
  return (uint32_t)U16(b, at) | ((uint32_t)U16(b, at + 2) << 16);
}

// Largest the image may be: 18 KiB, every message of the driver's log included. For scale,
// EDK II's UsbBusDxe in this machine's OVMF, a USB driver of the same kind built without a
// single message, is 16,768 bytes.
constexpr size_t kImageSizeLimit = 18432;

// The image make links; empty when it is not built and the run does not require it.
std::vector<uint8_t> LinkedImage() {
  std::ifstream in(KVR_EFI_IMAGE_PATH, std::ios::binary);
  if (!in) {
    return {};
  }
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

#define LOAD_IMAGE_OR_SKIP(image)                                                \
  std::vector<uint8_t> image = LinkedImage();                                    \
  if (image.empty()) {                                                           \
    if (std::getenv("KVR_REQUIRE_EFI_IMAGE") != nullptr) {                       \
      FAIL() << KVR_EFI_IMAGE_PATH << " is missing";                             \
    }                                                                            \
    GTEST_SKIP() << KVR_EFI_IMAGE_PATH << " is not built; make efi links it";    \
  }

TEST(DriverImage, IsAPe32PlusBootServiceDriverWithNoImports) {
  LOAD_IMAGE_OR_SKIP(image);
  ASSERT_GE(image.size(), 0x40u);
  ASSERT_EQ(image[0], 'M');
  ASSERT_EQ(image[1], 'Z');
  size_t pe = U32(image, 0x3C);
  ASSERT_LE(pe + 24 + 112 + 16 * 8, image.size());
  ASSERT_EQ(std::memcmp(&image[pe], "PE\0\0", 4), 0);
  EXPECT_EQ(U16(image, pe + 4), kMachineAmd64);
  size_t optional = pe + 24;
  EXPECT_EQ(U16(image, optional), kPe32PlusMagic);
  EXPECT_EQ(U16(image, optional + 68), kSubsystemEfiBootServiceDriver);
  uint32_t entry = U32(image, optional + 16);
  EXPECT_NE(entry, 0u);
  uint32_t directories = U32(image, optional + 108);
  ASSERT_GT(directories, kRelocationDirectory);
  size_t directory = optional + 112;
  EXPECT_EQ(U32(image, directory + 8 * kImportDirectory + 4), 0u) << "the image imports symbols";
  EXPECT_NE(U32(image, directory + 8 * kRelocationDirectory + 4), 0u)
      << "firmware loads the image anywhere: it needs base relocations";

  // The entry point lies in an executable section.
  uint16_t sections = U16(image, pe + 6);
  size_t table = optional + U16(image, pe + 20);
  bool inCode = false;
  for (uint16_t i = 0; i < sections && table + 40 * (i + 1) <= image.size(); i++) {
    size_t s = table + 40 * i;
    uint32_t address = U32(image, s + 12), size = U32(image, s + 8), flags = U32(image, s + 36);
    if (entry >= address && entry < address + size && (flags & 0x20000000) != 0) inCode = true;
  }
  EXPECT_TRUE(inCode);
  std::printf("KvrFmpDriver.efi: %zu bytes\n", image.size());
}

TEST(DriverImage, StaysWithinTheSizeOfTheFirmwaresOwnUsbDriver) {
  LOAD_IMAGE_OR_SKIP(image);
  EXPECT_LE(image.size(), kImageSizeLimit)
      << "KvrFmpDriver.efi has grown past " << kImageSizeLimit
      << " bytes; the link map beside it, KvrFmpDriver.map, tells where the bytes are";

  // No section is both writable and executable, and each starts on a 4 KiB page, as
  // firmware that protects image memory needs.
  const size_t pe = U32(image, 0x3C);
  ASSERT_LE(pe + 24 + 112, image.size());
  const size_t optional = pe + 24;
  EXPECT_EQ(U32(image, optional + 32), 0x1000u) << "SectionAlignment";
  EXPECT_NE(U16(image, optional + 70) & 0x0100, 0) << "DllCharacteristics: NX compatible";
  const uint16_t sections = U16(image, pe + 6);
  const size_t table = optional + U16(image, pe + 20);
  ASSERT_LE(table + 40 * sections, image.size());
  for (uint16_t i = 0; i < sections; i++) {
    const uint32_t flags = U32(image, table + 40 * i + 36);
    EXPECT_FALSE((flags & 0x20000000) != 0 && (flags & 0x80000000) != 0)
        << "section " << i << " is writable and executable";
  }
}

}  // namespace
