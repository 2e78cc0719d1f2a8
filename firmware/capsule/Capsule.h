// Capsule image location: finds the capsule the platform placed in memory, the camera
// image inside it, and reads the image header that names the target camera.
#pragma once

#include "platform/Platform.h"

// Name of the firmware file that carries the camera image in a firmware volume.
#define KV_CAMERA_FILE_GUID \
  {0xA8A5B126, 0x4165, 0x4ABF, {0x91, 0x8B, 0xA7, 0xE0, 0xC6, 0xFD, 0xA0, 0x29}}
// Vendor GUID of the "KorvaneCameraCapsuleAddress" variable.
#define KV_CAPSULE_ADDRESS_VARIABLE_GUID \
  {0xFCC82F78, 0x4CEC, 0x4724, {0xA9, 0x20, 0xBD, 0x2F, 0x17, 0x50, 0x0D, 0x70}}

#define KV_CAPSULE_ON_RAM_NAME u"CapsuleOnRam"
#define KV_CAPSULE_ADDRESS_NAME u"KorvaneCameraCapsuleAddress"
#define KV_CAPSULE_ON_RAM_ATTRIBUTES EFI_VARIABLE_BOOTSERVICE_ACCESS

// Most HOBs walked before the list is taken as having no capsule HOB.
#define KV_MAX_HOBS 0x10000

// The located capsule: set by LocateCapsule, read by SearchImageInCapsule.
extern EFI_CAPSULE_HEADER *pCapsuleHeader;
extern UINT32 dwCapsuleLength;

// Length in bytes of the image the last search located (the firmware file's data, or the
// payload item's UpdateImageSize); 0 when none was located.
extern UINT32 dwImageLength;

EFI_STATUS LocateCapsule();
VOID *ReadCapsuleOnRam(UINT32 *Attributes, UINT64 *DataSize);
VOID *GetImageFromAddressVariable();
// The camera image of the FMP capsule, read up to its CapsuleImageSize.
EFI_STATUS GetFmpPayloadImage(EFI_CAPSULE_HEADER *Capsule, VOID **Image);
// The same for a capsule of Size bytes: the last payload item's image, past its
// authentication and FMP payload header, with dwImageLength its length. Leaves *Image
// unchanged, with a message, when the capsule yields none.
VOID GetFmpImageWithin(const UINT8 *Capsule, UINT64 Size, VOID **Image);
// The camera image of the located capsule: an FMP capsule's by its items, else the camera
// file of its firmware volume.
EFI_STATUS SearchImageInCapsule(VOID **Image);

// ---------------------------------------------------------------- FMP capsule walk
// The one reading of an FMP capsule (UEFI 2.10, 23.3) and of its payload items, with the
// checks EDK II's capsule library makes before it handles one. It reads only inside the
// Size bytes it is given, calls no platform service and logs nothing: the host tools and
// the emulator's harness walk capsules with it as the driver does.

// Why a capsule or an item is refused; KvFmpFaultText names the rule.
enum KV_FMP_FAULT : UINT8 {
  KV_FMP_OK,
  KV_FMP_HEADER_OUTSIDE,       // the FMP capsule header lies outside the capsule
  KV_FMP_LIST_OUTSIDE,         // the item offset list lies outside the capsule
  KV_FMP_ENTRY_OUTSIDE,        // a list entry points at or past the capsule end
  KV_FMP_ENTRY_IN_LIST,        // a list entry points into the FMP header or the list
  KV_FMP_ENTRY_NOT_ASCENDING,  // a list entry is not above the one before it
  KV_FMP_ITEM_SHORT,           // a payload item is shorter than its header
  KV_FMP_ITEM_VERSION,         // a payload item header's Version is not 1, 2 or 3
  KV_FMP_ITEM_SPAN,            // an item's span is not header + image + vendor code
  KV_FMP_AUTH_LENGTH,          // the image authentication does not fit the image
  KV_FMP_PAYLOAD_HEADER_SIZE,  // the FMP payload header's size does not fit the image
};
const CHAR8 *KvFmpFaultText(KV_FMP_FAULT Fault);

struct KV_FMP_CAPSULE {
  const UINT8 *Fmp;  // the FMP capsule header, HeaderSize bytes into the capsule
  UINT64 Size;       // bytes from there to the capsule end
  UINT32 Version;    // the FMP header's Version (EDK II's library takes only 1)
  UINT16 DriverCount;
  UINT16 ItemCount;
  // Of the last fault: the list entry it concerns, and the value it found wrong.
  UINT32 FaultEntry;
  UINT64 FaultValue;
};

// Opens the FMP capsule whose EFI_CAPSULE_HEADER starts Size bytes at Capsule: the FMP
// header inside, the offset list inside, and every list entry inside the capsule, past
// the list and above the entry before it. Fmp and Size are set once the header is found
// to lie inside, also when a later check fails.
KV_FMP_FAULT KvFmpOpen(const UINT8 *Capsule, UINT64 Size, KV_FMP_CAPSULE *Fmp);
// List entry Position (embedded drivers first, then payload items) of an opened capsule:
// its offset from the FMP header, and in *Span its length, up to the next entry (the last
// one to the capsule end).
UINT64 KvFmpEntry(const KV_FMP_CAPSULE *Fmp, UINT32 Position, UINT64 *Span);

struct KV_FMP_ITEM {
  const UINT8 *Header;  // the EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER
  UINT32 Position;      // in the offset list: DriverCount + the item's index
  UINT32 Version;
  UINT32 HeaderSize;    // by Version: 32, 40 or 48
  UINT32 ImageSize;     // UpdateImageSize
  const UINT8 *Image;   // the item's image, ImageSize bytes after the header
};
// Payload item Index (from 0) of an opened capsule: a known header version, and a span of
// exactly the header, UpdateImageSize and UpdateVendorCodeSize.
KV_FMP_FAULT KvFmpItem(KV_FMP_CAPSULE *Fmp, UINT32 Index, KV_FMP_ITEM *Item);

// What an item's image holds in front of the camera image: an
// EFI_FIRMWARE_IMAGE_AUTHENTICATION (WIN_CERT_TYPE_EFI_GUID, PKCS7), which the platform
// verified before the hand-over, then EDK II's FMP payload header ("MSS1"). Either may be
// missing; an image that starts with the camera image header has neither.
struct KV_FMP_IMAGE {
  UINT64 AuthLength;           // MonotonicCount and the certificate; 0 without
  UINT32 PayloadHeaderSize;    // 0 without
  const UINT8 *Data;           // what follows them: the camera image
  UINT64 Length;
};
KV_FMP_FAULT KvFmpImage(KV_FMP_CAPSULE *Fmp, const KV_FMP_ITEM *Item, KV_FMP_IMAGE *Image);

// The camera image header at the start of the located image.
#pragma pack(push, 1)
struct KVN_FW_HEADER {
  UINT8 Reserved0[2];
  UINT16 wHeaderSize;
  UINT16 wVID;
  UINT16 wPID;
  UINT8 Reserved8[4];
  UINT32 dwTotalSize;
};
#pragma pack(pop)
static_assert(sizeof(KVN_FW_HEADER) == 16);
static_assert(offsetof(KVN_FW_HEADER, wHeaderSize) == 2);
static_assert(offsetof(KVN_FW_HEADER, wVID) == 4);
static_assert(offsetof(KVN_FW_HEADER, wPID) == 6);
static_assert(offsetof(KVN_FW_HEADER, dwTotalSize) == 12);

#define KVN_FW_HEADER_MIN_SIZE 16

// EFI_SUCCESS when the header frames a payload that lies inside the located image of
// ImageLength bytes; EFI_VOLUME_CORRUPTED, with a message, otherwise.
EFI_STATUS ValidateImageHeader(const KVN_FW_HEADER *Header, UINT64 ImageLength);

static inline UINT8 *KvnPayload(const KVN_FW_HEADER *Header) {
  return (UINT8 *)Header + Header->wHeaderSize;
}
// The 32-bit difference, widened, as the update procedures receive it.
static inline UINT64 KvnPayloadLength(const KVN_FW_HEADER *Header) {
  return (UINT64)(UINT32)(Header->dwTotalSize - Header->wHeaderSize);
}

// ---------------------------------------------------------------- what the payload says of itself

// The firmware version block inside the payload, at the first of these offsets that holds
// its two signatures: 4864, 8192, 768, 12288.
#define FW_VERSION_BLOCK_CANDIDATES 4
extern const UINT32 FwVersionBlockOffsets[FW_VERSION_BLOCK_CANDIDATES];
#define FW_VERSION_BLOCK_SIGNATURE_BYTE 0x31    // '1'
#define FW_VERSION_BLOCK_SIGNATURE 0x12345678U  // bytes 78 56 34 12
#pragma pack(push, 1)
struct FwVersionBlock {
  UINT8 bSignature;      // FW_VERSION_BLOCK_SIGNATURE_BYTE
  UINT8 bReserved;       // any value
  UINT8 dwSignature[4];  // FW_VERSION_BLOCK_SIGNATURE, little-endian
  UINT16 wChipId;
  UINT16 wVID;
  UINT16 wPID;
  UINT8 Reserved[4];
  UINT16 wFwVersionA;  // the version on chips 0x4C10 and 0x4C15
  UINT16 wFwVersionB;  // the version on every other chip
};
#pragma pack(pop)
static_assert(sizeof(FwVersionBlock) == 20);
static_assert(offsetof(FwVersionBlock, wChipId) == 6);
static_assert(offsetof(FwVersionBlock, wVID) == 8);
static_assert(offsetof(FwVersionBlock, wPID) == 10);
static_assert(offsetof(FwVersionBlock, wFwVersionA) == 16);
static_assert(offsetof(FwVersionBlock, wFwVersionB) == 18);

// Looks for the version block; on TRUE *Block holds a copy and *Offset (may be NULL) its
// payload offset. A candidate that does not lie wholly within the payload is not examined.
BOOLEAN FindFwVersionBlock(const UINT8 *Payload, UINT64 PayloadLength, FwVersionBlock *Block,
                           UINT32 *Offset);
// The firmware version the block names; the camera reports it as its bcdDevice.
UINT16 FwVersionOf(const FwVersionBlock *Block);

// Images that are whole blocks plus 16 bytes, and the length DFU sends of them.
struct DfuImageSize {
  UINT64 PayloadLength;
  UINT64 TransferLength;
};
#define DFU_IMAGE_SIZE_COUNT 5
extern const DfuImageSize DfuImageSizeTable[DFU_IMAGE_SIZE_COUNT];
// PayloadLength through the image size table (unchanged when not in it).
UINT64 DFUImageLength(UINT64 PayloadLength);
