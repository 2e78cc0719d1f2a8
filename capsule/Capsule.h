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
EFI_STATUS GetFmpPayloadImage(EFI_CAPSULE_HEADER *Capsule, VOID **Image);
EFI_STATUS SearchImageInCapsule(VOID **Image);

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
