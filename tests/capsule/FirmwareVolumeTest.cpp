// The firmware volume walk for the camera file, and the image header check.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <sstream>

#include "capsule/Capsule.h"
#include "support/SimTest.h"
#include "tools/CapsuleFormat.h"

namespace {

using ::testing::ElementsAre;
using capfmt::Bytes;

const EFI_GUID kCameraFile = KV_CAMERA_FILE_GUID;
const EFI_GUID kOtherFile = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};

constexpr size_t kVolume = 32;        // capsule HeaderSize
constexpr size_t kFirstFile = 32 + 72;  // volume HeaderLength 72

// A capsule holding a firmware volume, file by file.
class Volume {
 public:
  Volume() : bytes_(kFirstFile, 0) {
    Put(16, 32, 4);
    Put(kVolume + 48, 72, 2);
  }
  // Appends a file of `length` bytes (header included) and returns its offset. A large
  // file keeps its Size bytes zero and puts the length in ExtendedSize.
  size_t File(const EFI_GUID &name, uint64_t length, bool large = false, uint8_t attributes = 0) {
    size_t at = bytes_.size();
    size_t header = large ? 32 : 24;
    bytes_.resize(at + std::max<uint64_t>(length, header), 0);
    std::memcpy(&bytes_[at], &name, 16);
    bytes_[at + 19] = large ? (attributes | FFS_ATTRIB_LARGE_FILE) : attributes;
    if (large) {
      Put(at + 24, length, 8);
    } else {
      Put(at + 20, length, 3);
    }
    while (bytes_.size() % 8 != 0) bytes_.push_back(0xFF);
    return at;
  }
  void Erased(size_t n) { bytes_.insert(bytes_.end(), n, 0xFF); }
  Bytes &Bytes_() { return bytes_; }
  // Hands the capsule to the search as LocateCapsule would, with its full length.
  EFI_STATUS Search(VOID **image, size_t length = SIZE_MAX) {
    pCapsuleHeader = (EFI_CAPSULE_HEADER *)bytes_.data();
    dwCapsuleLength = (UINT32)std::min(length, bytes_.size());
    return SearchImageInCapsule(image);
  }
  const uint8_t *At(size_t offset) const { return bytes_.data() + offset; }

 private:
  void Put(size_t at, uint64_t value, int width) {
    for (int i = 0; i < width; i++) bytes_[at + i] = (value >> (8 * i)) & 0xFF;
  }
  Bytes bytes_;
};

class FirmwareVolumeTest : public SimTest {
 protected:
  Volume volume;
  VOID *image = nullptr;
};

TEST_F(FirmwareVolumeTest, CameraFileDataFollowsItsTwentyFourByteHeader) {
  size_t file = volume.File(kCameraFile, 24 + 100);
  EXPECT_EQ(volume.Search(&image), EFI_SUCCESS);
  EXPECT_EQ(image, volume.At(file + 24));
  EXPECT_EQ(dwImageLength, 100u);
  EXPECT_THAT(Log(), ElementsAre("Image found.\n"));
}

TEST_F(FirmwareVolumeTest, LargeFileDataFollowsItsThirtyTwoByteHeader) {
  size_t file = volume.File(kCameraFile, 32 + 100, /*large=*/true);
  EXPECT_EQ(volume.Search(&image), EFI_SUCCESS);
  EXPECT_EQ(image, volume.At(file + 32));
  EXPECT_EQ(dwImageLength, 100u);
}

TEST_F(FirmwareVolumeTest, LargeFileBitWithANonZeroSizeIsAnOrdinaryFile) {
  size_t file = volume.File(kCameraFile, 24 + 40, false, FFS_ATTRIB_LARGE_FILE);
  EXPECT_EQ(volume.Search(&image), EFI_SUCCESS);
  EXPECT_EQ(image, volume.At(file + 24));
}

TEST_F(FirmwareVolumeTest, FilesFollowEachOtherAtEightByteSteps) {
  size_t other = volume.File(kOtherFile, 0x19);
  size_t camera = volume.File(kCameraFile, 24 + 8);
  ASSERT_EQ(camera, other + 0x20);
  EXPECT_EQ(volume.Search(&image), EFI_SUCCESS);
  EXPECT_EQ(image, volume.At(camera + 24));
}

TEST_F(FirmwareVolumeTest, FirstOfTwoCameraFilesIsDelivered) {
  size_t first = volume.File(kCameraFile, 24 + 16);
  volume.File(kCameraFile, 24 + 16);
  EXPECT_EQ(volume.Search(&image), EFI_SUCCESS);
  EXPECT_EQ(image, volume.At(first + 24));
}

TEST_F(FirmwareVolumeTest, ErasedSpaceOrAZeroLengthEndsTheSearch) {
  volume.Erased(24);
  volume.File(kCameraFile, 24 + 16);
  EXPECT_EQ(volume.Search(&image), EFI_NOT_FOUND);
  EXPECT_EQ(image, nullptr);

  Volume zero;
  zero.File(kOtherFile, 0);
  zero.File(kCameraFile, 24 + 16);
  EXPECT_EQ(zero.Search(&image), EFI_NOT_FOUND);
  EXPECT_THAT(Log(), ElementsAre("Image not found.\n", "Image not found.\n"));
}

TEST_F(FirmwareVolumeTest, FileBeyondTheCapsuleEndIsNotFound) {
  size_t camera = volume.File(kCameraFile, 24 + 16);
  EXPECT_EQ(volume.Search(&image, camera), EFI_NOT_FOUND);  // the end bound is the file start
  EXPECT_EQ(volume.Search(&image, 0), EFI_NOT_FOUND);
  EXPECT_EQ(image, nullptr);
  EXPECT_THAT(Log(), ElementsAre("Image not found.\n", "Image not found.\n"));
}

TEST_F(FirmwareVolumeTest, FileHeaderCutByTheEndIsNotRead) {
  size_t camera = volume.File(kCameraFile, 24 + 16);
  EXPECT_EQ(volume.Search(&image, camera + 10), EFI_NOT_FOUND);
  EXPECT_EQ(Log().front(), "Firmware file header at 0x" + (std::stringstream() << std::hex << camera).str() +
                               " is cut off by the capsule end.\n");
}

TEST_F(FirmwareVolumeTest, FileLengthBelowItsHeaderOrPastTheEndIsRefused) {
  volume.File(kOtherFile, 20);  // shorter than its own header
  EXPECT_EQ(volume.Search(&image), EFI_NOT_FOUND);

  Volume past;
  size_t camera = past.File(kCameraFile, 24 + 16);
  past.Bytes_()[camera + 20] = 0xF0;  // length 0xF0 > what is left of the capsule
  EXPECT_EQ(past.Search(&image), EFI_NOT_FOUND);
  EXPECT_EQ(image, nullptr);
  EXPECT_EQ(Log().size(), 4u);
  EXPECT_THAT(Log()[2], ::testing::HasSubstr("has a bad length 0xf0"));
}

TEST_F(FirmwareVolumeTest, VolumeHeaderLengthPastTheEndFindsNothing) {
  // The camera file is there, but neither walk may reach it: the first starts past the
  // capsule's end, the second finds the volume header itself outside.
  volume.File(kCameraFile, 24 + 16);
  volume.Bytes_()[kVolume + 48] = 0xFF;
  volume.Bytes_()[kVolume + 49] = 0xFF;
  dwImageLength = 7;
  EXPECT_EQ(volume.Search(&image), EFI_NOT_FOUND);
  std::memset(volume.Bytes_().data() + 16, 0xFF, 4);  // capsule HeaderSize
  EXPECT_EQ(volume.Search(&image), EFI_NOT_FOUND);
  EXPECT_EQ(image, nullptr);
  EXPECT_EQ(dwImageLength, 7u);
  EXPECT_THAT(Log(), ElementsAre("Image not found.\n",
                                 "Firmware volume header lies outside the capsule.\n",
                                 "Image not found.\n"));
}

TEST_F(FirmwareVolumeTest, NoCapsuleLocatedFindsNothing) {
  pCapsuleHeader = nullptr;
  dwCapsuleLength = 4096;  // a length without a capsule reads nothing
  dwImageLength = 7;
  EXPECT_EQ(SearchImageInCapsule(&image), EFI_NOT_FOUND);
  EXPECT_EQ(image, nullptr);
  EXPECT_EQ(dwImageLength, 7u);
  EXPECT_THAT(Log(), ElementsAre("Image not found.\n"));
}

TEST_F(FirmwareVolumeTest, KvrcapCapsulesAreFoundInEveryForm) {
  Bytes camera = capfmt::MakeImage(0x3B5A, 0x4C15, Bytes(5000, 0xA5));
  for (bool large : {false, true}) {
    for (unsigned pads : {0u, 3u}) {
      Bytes capsule = capfmt::MakeFvCapsule(camera, {.largeFile = large, .padFiles = pads});
      capfmt::Inspection found = capfmt::Inspect(capsule, /*fmp=*/false);
      EXPECT_TRUE(found.usable()) << "large " << large << " pads " << pads;
      EXPECT_EQ(found.imageLength, camera.size());
      EXPECT_EQ(std::memcmp(capsule.data() + found.imageOffset, camera.data(), camera.size()), 0);
      EXPECT_EQ(found.payloadLength, 5000u);
    }
  }
}

// ---------------------------------------------------------------- image header

class ImageHeaderTest : public SimTest {
 protected:
  KVN_FW_HEADER Header(uint16_t headerSize, uint32_t totalSize) {
    KVN_FW_HEADER h{};
    h.wHeaderSize = headerSize;
    h.wVID = 0x3B5A;
    h.wPID = 0x4C15;
    h.dwTotalSize = totalSize;
    return h;
  }
};

TEST_F(ImageHeaderTest, PayloadStartsAfterTheHeaderSize) {
  KVN_FW_HEADER h = Header(16, 1016);
  EXPECT_EQ(ValidateImageHeader(&h, 1016), EFI_SUCCESS);
  EXPECT_EQ(KvnPayload(&h), (UINT8 *)&h + 16);
  EXPECT_EQ(KvnPayloadLength(&h), 1000u);
  // A 64-byte header, at the start of the 2000 bytes the image is said to hold.
  alignas(KVN_FW_HEADER) UINT8 image[2000] = {};
  KVN_FW_HEADER *longer = new (image) KVN_FW_HEADER(Header(64, 1064));
  EXPECT_EQ(ValidateImageHeader(longer, 2000), EFI_SUCCESS);
  EXPECT_EQ(KvnPayload(longer), image + 64);
  EXPECT_EQ(KvnPayloadLength(longer), 1000u);
}

TEST_F(ImageHeaderTest, InconsistentSizesAreRefusedWithTheirReason) {
  KVN_FW_HEADER small = Header(8, 100);
  KVN_FW_HEADER wraps = Header(32, 16);
  KVN_FW_HEADER beyond = Header(16, 4096);
  EXPECT_EQ(ValidateImageHeader(&small, 100), EFI_VOLUME_CORRUPTED);
  EXPECT_EQ(ValidateImageHeader(&wraps, 100), EFI_VOLUME_CORRUPTED);
  EXPECT_EQ(ValidateImageHeader(&beyond, 4095), EFI_VOLUME_CORRUPTED);
  EXPECT_EQ(ValidateImageHeader(&beyond, 12), EFI_VOLUME_CORRUPTED);
  EXPECT_THAT(Log(),
              ElementsAre("Camera image header size 8 is below 16.\n",
                          "Camera image total size 0x10 is below its header size 0x20.\n",
                          "Camera image total size 0x1000 exceeds the located image of 0xfff bytes.\n",
                          "Camera image of 12 bytes is too short for its header.\n"));
}

}  // namespace
