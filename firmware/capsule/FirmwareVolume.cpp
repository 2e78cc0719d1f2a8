// Finds the camera image in the located capsule: the camera firmware file of the firmware
// volume in its body, or the last payload item of an FMP capsule.
#include "Capsule.h"

namespace {

EFI_GUID gCameraFileGuid = KV_CAMERA_FILE_GUID;
EFI_GUID gFmpCapsuleGuid = EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID;

constexpr UINT64 kFileAlignment = 8;

EFI_STATUS NotFound() {
  DebugMessage("Image not found.\n");
  return EFI_NOT_FOUND;
}

}  // namespace

EFI_STATUS SearchImageInCapsule(VOID **Image) {
  const UINT8 *Base = (const UINT8 *)pCapsuleHeader;
  UINT64 End = dwCapsuleLength;  // every offset below is counted from Base
  if (Base == NULL ||
      !KvrRangeInside(offsetof(EFI_CAPSULE_HEADER, HeaderSize), sizeof(UINT32), End)) {
    return NotFound();
  }
  // An FMP capsule, as a platform's capsule flow hands every capsule over after a warm
  // reset: its items, up to its CapsuleImageSize within the length handed over.
  if (KvrRangeInside(0, sizeof(EFI_CAPSULE_HEADER), End) &&
      KvrCompareGuid(&pCapsuleHeader->CapsuleGuid, &gFmpCapsuleGuid)) {
    UINT64 Size = KvrReadU32(Base + offsetof(EFI_CAPSULE_HEADER, CapsuleImageSize));
    VOID *Found = NULL;
    GetFmpImageWithin(Base, Size < End ? Size : End, &Found);
    if (Found == NULL) {
      return NotFound();
    }
    DebugMessage("Image found.\n");
    *Image = Found;
    return EFI_SUCCESS;
  }
  UINT64 VolumeOffset = KvrReadU32(Base + offsetof(EFI_CAPSULE_HEADER, HeaderSize));
  if (!KvrRangeInside(VolumeOffset, sizeof(EFI_FIRMWARE_VOLUME_HEADER), End)) {
    DebugMessage("Firmware volume header lies outside the capsule.\n");
    return NotFound();
  }
  UINT64 FileOffset =
      VolumeOffset +
      KvrReadU16(Base + VolumeOffset + offsetof(EFI_FIRMWARE_VOLUME_HEADER, HeaderLength));

  // Each step moves at least one file header forward, so the walk ends within End / 24.
  while (FileOffset < End) {
    if (!KvrRangeInside(FileOffset, sizeof(EFI_FFS_FILE_HEADER), End)) {
      DebugMessage("Firmware file header at 0x%lx is cut off by the capsule end.\n", FileOffset);
      return NotFound();
    }
    const UINT8 *File = Base + FileOffset;
    const UINT32 Size = KvrReadU24(File + offsetof(EFI_FFS_FILE_HEADER, Size));
    if (Size == 0xFFFFFF) {
      return NotFound();  // erased space
    }
    BOOLEAN Large = (File[offsetof(EFI_FFS_FILE_HEADER, Attributes)] & FFS_ATTRIB_LARGE_FILE) != 0 &&
                    Size == 0;
    UINT64 HeaderSize = Large ? sizeof(EFI_FFS_FILE_HEADER2) : sizeof(EFI_FFS_FILE_HEADER);
    if (!KvrRangeInside(FileOffset, HeaderSize, End)) {
      DebugMessage("Firmware file header at 0x%lx is cut off by the capsule end.\n", FileOffset);
      return NotFound();
    }
    UINT64 FileLength =
        Large ? (UINT64)KvrReadU32(File + offsetof(EFI_FFS_FILE_HEADER2, ExtendedSize))
              : (UINT64)Size;
    if (FileLength == 0) {
      return NotFound();
    }
    if (FileLength < HeaderSize || !KvrRangeInside(FileOffset, FileLength, End)) {
      DebugMessage("Firmware file at 0x%lx has a bad length 0x%lx.\n", FileOffset, FileLength);
      return NotFound();
    }
    if (KvrCompareGuid((const EFI_GUID *)File, &gCameraFileGuid)) {
      DebugMessage("Image found.\n");
      *Image = (VOID *)(File + HeaderSize);
      dwImageLength = (UINT32)(FileLength - HeaderSize);
      return EFI_SUCCESS;
    }
    FileOffset += (FileLength + kFileAlignment - 1) & ~(kFileAlignment - 1);
  }
  return NotFound();
}
