// The camera image: its header framing a payload inside the located image, and what the
// payload says of itself (the firmware version block, the lengths DFU sends of it).
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

const UINT32 FwVersionBlockOffsets[FW_VERSION_BLOCK_CANDIDATES] = {0x1300, 0x2000, 0x300, 0x3000};

const DfuImageSize DfuImageSizeTable[DFU_IMAGE_SIZE_COUNT] = {
    {0x1F010, 0x1F000},  // 31 blocks
    {0x1E010, 0x1E000},  // 30 blocks
    {0x25010, 0x25000},  // 37 blocks
    {0x1D010, 0x1D000},  // 29 blocks
    {0x24010, 0x24000},  // 36 blocks
};

namespace {

// Chips whose version block carries the version in its first version field.
#define FW_VERSION_A_CHIP_1 0x4C10
#define FW_VERSION_A_CHIP_2 0x4C15

}  // namespace

UINT64 DFUImageLength(UINT64 PayloadLength) {
  for (UINTN Index = 0; Index < DFU_IMAGE_SIZE_COUNT; Index++) {
    if (DfuImageSizeTable[Index].PayloadLength == PayloadLength) {
      return DfuImageSizeTable[Index].TransferLength;
    }
  }
  return PayloadLength;
}

BOOLEAN FindFwVersionBlock(const UINT8 *Payload, UINT64 PayloadLength, FwVersionBlock *Block,
                           UINT32 *Offset) {
  if (Payload == NULL) {
    return FALSE;
  }
  for (UINTN Index = 0; Index < FW_VERSION_BLOCK_CANDIDATES; Index++) {
    const UINT32 Candidate = FwVersionBlockOffsets[Index];
    if (!KvrRangeInside(Candidate, sizeof(FwVersionBlock), PayloadLength)) {
      continue;
    }
    const UINT8 *At = Payload + Candidate;
    if (At[0] != FW_VERSION_BLOCK_SIGNATURE_BYTE ||
        KvrReadU32(At + offsetof(FwVersionBlock, dwSignature)) != FW_VERSION_BLOCK_SIGNATURE) {
      continue;
    }
    KvrCopyMem(Block, At, sizeof(FwVersionBlock));
    if (Offset != NULL) {
      *Offset = Candidate;
    }
    return TRUE;
  }
  return FALSE;
}

UINT16 FwVersionOf(const FwVersionBlock *Block) {
  return Block->wChipId == FW_VERSION_A_CHIP_1 || Block->wChipId == FW_VERSION_A_CHIP_2
             ? Block->wFwVersionA
             : Block->wFwVersionB;
}

