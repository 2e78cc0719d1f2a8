// Checks that the camera image header frames a payload inside the located image.
#include "Capsule.h"

EFI_STATUS ValidateImageHeader(const KVN_FW_HEADER *Header, UINT64 ImageLength) {
  if (ImageLength < sizeof(KVN_FW_HEADER)) {
    DebugMessage("Camera image of %ld bytes is too short for its header.\n", (INT64)ImageLength);
    return EFI_VOLUME_CORRUPTED;
  }
  UINT16 HeaderSize = Header->wHeaderSize;
  UINT32 TotalSize = Header->dwTotalSize;
  if (HeaderSize < KVN_FW_HEADER_MIN_SIZE) {
    DebugMessage("Camera image header size %d is below %d.\n", (INT32)HeaderSize,
                 (INT32)KVN_FW_HEADER_MIN_SIZE);
    return EFI_VOLUME_CORRUPTED;
  }
  if (TotalSize < HeaderSize) {
    DebugMessage("Camera image total size 0x%x is below its header size 0x%x.\n", TotalSize,
                 (UINT32)HeaderSize);
    return EFI_VOLUME_CORRUPTED;
  }
  if (TotalSize > ImageLength) {
    DebugMessage("Camera image total size 0x%x exceeds the located image of 0x%lx bytes.\n",
                 TotalSize, ImageLength);
    return EFI_VOLUME_CORRUPTED;
  }
  return EFI_SUCCESS;
}
