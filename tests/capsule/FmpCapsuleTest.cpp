// The FMP capsule: named by the address variable on INSYDE platforms, or located in the
// capsule HOB or "CapsuleOnRam" like any capsule. Layouts come from the tests' own builder
// (support/FmpReference.h), built from UEFI 2.10's and EDK II's published definitions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "capsule/Capsule.h"
#include "support/FmpReference.h"
#include "support/SimTest.h"
#include "support/Vectors.h"
#include "tools/CapsuleFormat.h"

namespace {

using ::testing::ElementsAre;
using fmpref::Bytes;

const EFI_GUID kAddressGuid = KV_CAPSULE_ADDRESS_VARIABLE_GUID;
constexpr size_t kFmp = 32;  // the FMP header, after the 32-byte capsule header

class FmpCapsuleTest : public SimTest {
 protected:
  void Announce(const Bytes &capsule, size_t variableSize = 8) {
    std::vector<uint8_t> data(variableSize, 0);
    uint64_t address = (uint64_t)(uintptr_t)capsule.data();
    std::memcpy(data.data(), &address, std::min<size_t>(8, variableSize));
    P.SetVariable(KV_CAPSULE_ADDRESS_NAME, kAddressGuid, EFI_VARIABLE_BOOTSERVICE_ACCESS, data);
  }
  static std::string AddressLine(const Bytes &capsule) {
    char line[80];
    std::snprintf(line, sizeof line, "KorvaneCameraCapsuleAddress = %x\n",
                  (unsigned)(uintptr_t)capsule.data());
    return line;
  }
  static fmpref::Item CameraItem(const Bytes &image, uint32_t version = 3) {
    fmpref::Item item;
    item.version = version;
    item.image = image;
    return item;
  }
  Bytes camera = capfmt::MakeImage(0x3B5A, 0x4C15, Bytes(64, 0x80));
  Bytes driver = capfmt::PlaceholderDriver();
};

// Every layout the published definitions allow puts the camera image where the reference
// parser finds it, whatever the item header's version and whatever stands in front.
TEST_F(FmpCapsuleTest, EveryItemLayoutYieldsTheCameraImage) {
  const Bytes signature(300, 0x30);  // not verified by the driver: any bytes do
  const Bytes auth = fmpref::Authentication(7, signature);
  const Bytes header = fmpref::PayloadHeader(0x210, 0x100);
  auto join = [](std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  struct Case {
    const char *name;
    std::vector<Bytes> drivers;
    std::vector<fmpref::Item> items;
  };
  fmpref::Item vendorCode = CameraItem(camera, 2);
  vendorCode.vendorCode = Bytes(12, 0xEE);
  fmpref::Item other = CameraItem(capfmt::MakeImage(1, 2, Bytes(8, 1)), 1);
  const Case cases[] = {
      {"version 1, camera image first", {}, {CameraItem(camera, 1)}},
      {"version 2, camera image first", {driver}, {CameraItem(camera, 2)}},
      {"version 3, camera image first", {driver}, {CameraItem(camera, 3)}},
      {"payload header", {driver}, {CameraItem(join({header, camera}))}},
      {"payload header of 24 bytes",
       {},
       {CameraItem(join({fmpref::PayloadHeader(1, 0, 24), Bytes(8, 0xA5), camera}))}},
      {"authentication and payload header", {driver}, {CameraItem(join({auth, header, camera}))}},
      {"authentication alone", {}, {CameraItem(join({auth, camera}))}},
      {"vendor code after the image", {}, {vendorCode}},
      {"two drivers, two items: the last wins", {driver, driver}, {other, CameraItem(join({header, camera}))}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes capsule = fmpref::Capsule(c.drivers, c.items);
    const fmpref::Parsed parsed = fmpref::Parse(capsule);
    ASSERT_EQ(parsed.error, "");
    Announce(capsule);
    dwImageLength = 0;
    const VOID *found = GetImageFromAddressVariable();
    ASSERT_EQ((const uint8_t *)found, capsule.data() + parsed.items.back().cameraOffset);
    EXPECT_EQ(dwImageLength, parsed.items.back().cameraLength);
    EXPECT_EQ(dwImageLength, camera.size());
    EXPECT_EQ(std::memcmp(found, camera.data(), camera.size()), 0);
    EXPECT_EQ(Log().back(), "Final TempData = 0\n");
  }
}

TEST_F(FmpCapsuleTest, LastPayloadItemWinsAndDriversAreSkipped) {
  Bytes capsule = capfmt::MakeFmpCapsule(camera, {.drivers = 1, .items = 2});
  Announce(capsule);
  VOID *found = GetImageFromAddressVariable();
  ASSERT_NE(found, nullptr);
  const fmpref::Parsed parsed = fmpref::Parse(capsule);
  ASSERT_EQ(parsed.items.size(), 2u);
  EXPECT_EQ((const uint8_t *)found, capsule.data() + parsed.items[1].offset + 48);
  EXPECT_EQ(std::memcmp(found, camera.data(), camera.size()), 0);
  EXPECT_EQ(dwImageLength, camera.size());
  // Bytes 8, 16 and 17 of the FMP header are the low byte of list entry 0 (the driver at
  // 0x20) and the two low bytes of entry 1 (item 0 after the 0x148-byte driver, at 0x168);
  // the image starts with a zero.
  EXPECT_THAT(Log(), ElementsAre("Inside BIOS Prepare to Get KorvaneCameraCapsuleAddress\n",
                                 AddressLine(capsule), "1 TempData = 20\n", "2 TempData = 68\n",
                                 "3 TempData = 1\n", "Final TempData = 0\n"));
}

TEST_F(FmpCapsuleTest, TempDataBytesPrintSignExtended) {
  // Bytes 16 and 17 of the FMP header are the first two of item 0 (at 0x10), the low bytes
  // of its header's Version; 0x0103 is no version, so the capsule is refused after the
  // diagnostic lines.
  Bytes capsule = capfmt::MakeFmpCapsule(camera);
  capsule[kFmp + 16] = 0x80;
  capsule[kFmp + 17] = 0xFF;
  Announce(capsule);
  EXPECT_EQ(GetImageFromAddressVariable(), nullptr);
  EXPECT_THAT(Log(), ElementsAre("Inside BIOS Prepare to Get KorvaneCameraCapsuleAddress\n",
                                 AddressLine(capsule), "1 TempData = 10\n",
                                 "2 TempData = ffffff80\n", "3 TempData = ffffffff\n",
                                 "FMP capsule refused at list entry 0: the item header's version "
                                 "is not 1, 2 or 3 (0xff80).\n"));
  // The image's first byte is reserved in its header: it prints as it is.
  capsule = capfmt::MakeFmpCapsule(camera);
  capsule[kFmp + 16 + 48] = 0xC3;
  Announce(capsule);
  EXPECT_NE(GetImageFromAddressVariable(), nullptr);
  EXPECT_EQ(Log().back(), "Final TempData = ffffffc3\n");
}

TEST_F(FmpCapsuleTest, NoPayloadItemYieldsNoImage) {
  Bytes capsule = fmpref::Capsule({driver}, {});
  Announce(capsule);
  dwImageLength = 7;
  EXPECT_EQ(GetImageFromAddressVariable(), nullptr);
  EXPECT_EQ(dwImageLength, 7u);
  // Without a payload item the walk ends after the diagnostic bytes, with no image and no
  // line of its own.
  EXPECT_THAT(Log(), ElementsAre("Inside BIOS Prepare to Get KorvaneCameraCapsuleAddress\n",
                                 AddressLine(capsule), "1 TempData = 10\n",
                                 "2 TempData = 4d\n", "3 TempData = 5a\n"));
}

// One fault at a time in a good capsule: the capsule yields no image and the driver says
// which rule it broke, with the value it found.
TEST_F(FmpCapsuleTest, EachBrokenRuleIsRefusedWithItsLine) {
  const Bytes auth = fmpref::Authentication(7, Bytes(40, 0x30));
  const Bytes header = fmpref::PayloadHeader(0x210, 0x100);
  Bytes data = auth;
  data.insert(data.end(), header.begin(), header.end());
  data.insert(data.end(), camera.begin(), camera.end());
  // One driver (0x148 bytes at 0x18), one item at 0x160 of 0xD8 bytes: header 48,
  // authentication 72, payload header 16, camera image 80.
  const Bytes good = fmpref::Capsule({driver}, {CameraItem(data)});
  ASSERT_EQ(fmpref::Parse(good).error, "");
  const size_t item = kFmp + 0x160, image = item + 48;
  struct Case {
    const char *name;
    std::function<void(Bytes &)> corrupt;
    std::string line;
  };
  const std::string entry1 = "FMP capsule refused at list entry 1: ";
  const Case cases[] = {
      {"FMP header past the end", [](Bytes &c) { fmpref::Put32(c, 16, (uint32_t)c.size() - 4); },
       "FMP capsule refused: the FMP capsule header lies outside the capsule.\n"},
      {"list past the end", [](Bytes &c) { c[kFmp + 6] = 0xFF; c[kFmp + 7] = 0xFF; },
       "FMP capsule refused: the item offset list lies outside the capsule.\n"},
      {"entry at the end", [&](Bytes &c) { fmpref::Put64(c, kFmp + 16, c.size() - kFmp); },
       entry1 + "the entry points at or past the capsule end (0x238).\n"},
      {"entry in the list", [](Bytes &c) { fmpref::Put64(c, kFmp + 8, 0x10); },
       "FMP capsule refused at list entry 0: the entry points into the FMP header or its "
       "offset list (0x10).\n"},
      {"an empty driver: two equal entries", [](Bytes &c) { fmpref::Put64(c, kFmp + 16, 0x18); },
       entry1 + "the entry is not above the one before it (0x18).\n"},
      {"item version 0", [&](Bytes &c) { fmpref::Put32(c, item, 0); },
       entry1 + "the item header's version is not 1, 2 or 3 (0x0).\n"},
      {"item version 4", [&](Bytes &c) { fmpref::Put32(c, item, 4); },
       entry1 + "the item header's version is not 1, 2 or 3 (0x4).\n"},
      {"padding after the item",
       [](Bytes &c) { c.resize(c.size() + 4, 0); fmpref::Put32(c, 24, (uint32_t)c.size()); },
       entry1 + "the item's span is not its header + UpdateImageSize + UpdateVendorCodeSize "
                "(0xdc).\n"},
      {"vendor code that is not there", [&](Bytes &c) { fmpref::Put32(c, item + 28, 4); },
       entry1 + "the item's span is not its header + UpdateImageSize + UpdateVendorCodeSize "
                "(0xd8).\n"},
      {"UpdateImageSize past the end", [&](Bytes &c) { fmpref::Put32(c, item + 24, 0xFFFFFFF0); },
       entry1 + "the item's span is not its header + UpdateImageSize + UpdateVendorCodeSize "
                "(0xd8).\n"},
      {"item shorter than a version-1 header",
       [&](Bytes &c) { c.resize(item + 31); fmpref::Put32(c, 24, (uint32_t)c.size()); },
       entry1 + "the item is shorter than its header (0x1f).\n"},
      {"version-3 item shorter than its header",
       [&](Bytes &c) { c.resize(item + 44); fmpref::Put32(c, 24, (uint32_t)c.size()); },
       entry1 + "the item is shorter than its header (0x2c).\n"},
      {"authentication past the image", [&](Bytes &c) { fmpref::Put32(c, image + 8, 0x100); },
       entry1 + "the image authentication does not fit the image (0x100).\n"},
      {"authentication shorter than its header", [&](Bytes &c) { fmpref::Put32(c, image + 8, 23); },
       entry1 + "the image authentication does not fit the image (0x17).\n"},
      {"payload header below 16 bytes", [&](Bytes &c) { fmpref::Put32(c, image + 72 + 4, 15); },
       entry1 + "the FMP payload header's size does not fit the image (0xf).\n"},
      {"payload header past the image", [&](Bytes &c) { fmpref::Put32(c, image + 72 + 4, 97); },
       entry1 + "the FMP payload header's size does not fit the image (0x61).\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bytes capsule = good;
    c.corrupt(capsule);
    Announce(capsule);
    dwImageLength = 5;
    EXPECT_EQ(GetImageFromAddressVariable(), nullptr);
    EXPECT_EQ(dwImageLength, 5u);
    EXPECT_EQ(Log().back(), c.line);
  }
}

// A platform's capsule flow after a warm reset puts every capsule in the capsule HOB: an
// FMP capsule there, or in "CapsuleOnRam", is read by its items, within the length the
// HOB declares.
TEST_F(FmpCapsuleTest, FmpCapsuleInTheHobIsReadByItsItems) {
  Bytes data = fmpref::PayloadHeader(0x210, 0x100);
  data.insert(data.end(), camera.begin(), camera.end());
  const Bytes capsule = fmpref::Capsule({driver}, {CameraItem(data)});
  const fmpref::Parsed parsed = fmpref::Parse(capsule);
  pCapsuleHeader = (EFI_CAPSULE_HEADER *)capsule.data();
  dwCapsuleLength = (UINT32)capsule.size() + 4096;  // the HOB may hold more than the capsule
  VOID *found = nullptr;
  EXPECT_EQ(SearchImageInCapsule(&found), EFI_SUCCESS);
  EXPECT_EQ((const uint8_t *)found, capsule.data() + parsed.items[0].cameraOffset);
  EXPECT_EQ(dwImageLength, camera.size());
  EXPECT_EQ(Log().back(), "Image found.\n");

  // A HOB shorter than the capsule cuts the last item short.
  dwCapsuleLength = (UINT32)capsule.size() - 1;
  found = nullptr;
  EXPECT_EQ(SearchImageInCapsule(&found), EFI_NOT_FOUND);
  EXPECT_EQ(found, nullptr);
  EXPECT_THAT(Log().end()[-2], ::testing::StartsWith("FMP capsule refused at list entry 1: the "
                                                     "item's span is not"));
  EXPECT_EQ(Log().back(), "Image not found.\n");
  pCapsuleHeader = nullptr;
  dwCapsuleLength = 0;
}

// GenerateCapsule's own capsules: the camera image after the version-3 item header, the
// payload header and, when signed, the authentication, where the reference parser finds it.
TEST_F(FmpCapsuleTest, GenerateCapsuleOutputYieldsTheCameraImage) {
  const Bytes cam = vectors::Read("cam.img");
  ASSERT_EQ(cam.size(), 131088u);
  for (const std::string &name : vectors::Capsules()) {
    SCOPED_TRACE(name);
    const Bytes capsule = vectors::Read(name);
    const fmpref::Parsed parsed = fmpref::Parse(capsule);
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(parsed.items.size(), 1u);
    EXPECT_EQ(parsed.items[0].version, 3u);
    EXPECT_EQ(parsed.items[0].monotonicCount.has_value(), name == "signed.cap");
    Announce(capsule);
    const VOID *found = GetImageFromAddressVariable();
    ASSERT_EQ((const uint8_t *)found, capsule.data() + parsed.items[0].cameraOffset);
    EXPECT_EQ(dwImageLength, cam.size());
    EXPECT_EQ(std::memcmp(found, cam.data(), cam.size()), 0);
  }
}

// CI may run on a clone with no shared folder beside it: the tree keeps its own copy.
TEST(VectorCopyTest, EqualsTheSharedOriginalsWhenBesideTheTree) {
  const std::filesystem::path shared =
      std::filesystem::path(KVR_SOURCE_DIR) / ".." / "shared" / "vectors" / "edk2-capsules";
  for (const std::string &name : vectors::Files()) {
    EXPECT_FALSE(vectors::Read(name).empty()) << name;
  }
  if (!std::filesystem::exists(shared)) {
    GTEST_SKIP() << shared << " is not beside the tree";
  }
  for (const std::string &name : vectors::Files()) {
    std::ifstream in(shared / name, std::ios::binary);
    const Bytes original((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(vectors::Read(name), original) << name;
  }
}

TEST_F(FmpCapsuleTest, AddressVariableMissingLongOrShortYieldsNoImage) {
  Bytes capsule = capfmt::MakeFmpCapsule(camera);
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

}  // namespace
