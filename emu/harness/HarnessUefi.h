// UEFI 2.10 definitions the harness needs beyond the driver's own: the loaded image, the
// simple file system and file protocols, and typed views of the boot-service slots the
// driver never calls. Layouts are checked like platform/Uefi.h's.
#pragma once

#include "platform/Uefi.h"

namespace harness {

#define HARNESS_LOADED_IMAGE_PROTOCOL_GUID \
  {0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}}
#define HARNESS_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID \
  {0x964E5B22, 0x6459, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}}
#define HARNESS_FILE_INFO_ID \
  {0x09576E92, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}}
// The vendor GUID of "KorvaneCameraCapsuleAddress" on INSYDE platforms.
#define HARNESS_KORVANE_ADDRESS_VARIABLE_GUID \
  {0xFCC82F78, 0x4CEC, 0x4724, {0xA9, 0x20, 0xBD, 0x2F, 0x17, 0x50, 0x0D, 0x70}}

// ---------------------------------------------------------------- loaded image

typedef EFI_STATUS(EFIAPI *EFI_IMAGE_UNLOAD)(EFI_HANDLE ImageHandle);

struct EFI_LOADED_IMAGE_PROTOCOL {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_HANDLE DeviceHandle;
  EFI_DEVICE_PATH_PROTOCOL *FilePath;
  VOID *Reserved;
  UINT32 LoadOptionsSize;
  VOID *LoadOptions;
  VOID *ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  EFI_IMAGE_UNLOAD Unload;
};
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, DeviceHandle) == 24);
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageBase) == 64);
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageSize) == 72);
static_assert(sizeof(EFI_LOADED_IMAGE_PROTOCOL) == 96);

// ---------------------------------------------------------------- files

#define EFI_FILE_MODE_READ 0x0000000000000001ULL
#define EFI_FILE_DIRECTORY 0x0000000000000010ULL

struct EFI_FILE_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_FILE_OPEN)(EFI_FILE_PROTOCOL *This, EFI_FILE_PROTOCOL **NewHandle,
                                          CHAR16 *FileName, UINT64 OpenMode,
                                          UINT64 Attributes);
typedef EFI_STATUS(EFIAPI *EFI_FILE_CLOSE)(EFI_FILE_PROTOCOL *This);
typedef EFI_STATUS(EFIAPI *EFI_FILE_READ)(EFI_FILE_PROTOCOL *This, UINTN *BufferSize,
                                          VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FILE_GET_INFO)(EFI_FILE_PROTOCOL *This, EFI_GUID *InformationType,
                                              UINTN *BufferSize, VOID *Buffer);

struct EFI_FILE_PROTOCOL {
  UINT64 Revision;
  EFI_FILE_OPEN Open;
  EFI_FILE_CLOSE Close;
  VOID *Delete;
  EFI_FILE_READ Read;
  VOID *Write;
  VOID *GetPosition;
  VOID *SetPosition;
  EFI_FILE_GET_INFO GetInfo;
  VOID *SetInfo;
  VOID *Flush;
  VOID *OpenEx;
  VOID *ReadEx;
  VOID *WriteEx;
  VOID *FlushEx;
};
static_assert(offsetof(EFI_FILE_PROTOCOL, Open) == 8);
static_assert(offsetof(EFI_FILE_PROTOCOL, Close) == 16);
static_assert(offsetof(EFI_FILE_PROTOCOL, Read) == 32);
static_assert(offsetof(EFI_FILE_PROTOCOL, GetInfo) == 64);
static_assert(sizeof(EFI_FILE_PROTOCOL) == 120);

struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_SIMPLE_FILE_SYSTEM_OPEN_VOLUME)(
    EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This, EFI_FILE_PROTOCOL **Root);
struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL {
  UINT64 Revision;
  EFI_SIMPLE_FILE_SYSTEM_OPEN_VOLUME OpenVolume;
};
static_assert(offsetof(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL, OpenVolume) == 8);
static_assert(sizeof(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL) == 16);

struct EFI_TIME {
  UINT16 Year;
  UINT8 Month;
  UINT8 Day;
  UINT8 Hour;
  UINT8 Minute;
  UINT8 Second;
  UINT8 Pad1;
  UINT32 Nanosecond;
  INT16 TimeZone;
  UINT8 Daylight;
  UINT8 Pad2;
};
static_assert(sizeof(EFI_TIME) == 16);

// Followed by the NUL-terminated file name.
struct EFI_FILE_INFO {
  UINT64 Size;
  UINT64 FileSize;
  UINT64 PhysicalSize;
  EFI_TIME CreateTime;
  EFI_TIME LastAccessTime;
  EFI_TIME ModificationTime;
  UINT64 Attribute;
};
static_assert(offsetof(EFI_FILE_INFO, FileSize) == 8);
static_assert(offsetof(EFI_FILE_INFO, Attribute) == 72);
static_assert(sizeof(EFI_FILE_INFO) == 80);

// ---------------------------------------------------------------- boot-service slots
// Slots platform/Uefi.h types as plain pointers because the driver never calls them.

typedef EFI_STATUS(EFIAPI *EFI_ALLOCATE_PAGES)(EFI_ALLOCATE_TYPE Type,
                                               EFI_MEMORY_TYPE MemoryType, UINTN Pages,
                                               EFI_PHYSICAL_ADDRESS *Memory);
typedef EFI_STATUS(EFIAPI *EFI_FREE_PAGES)(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages);
typedef EFI_STATUS(EFIAPI *EFI_UNINSTALL_PROTOCOL_INTERFACE)(EFI_HANDLE Handle,
                                                             EFI_GUID *Protocol,
                                                             VOID *Interface);
typedef EFI_STATUS(EFIAPI *EFI_SET_WATCHDOG_TIMER)(UINTN Timeout, UINT64 WatchdogCode,
                                                   UINTN DataSize, CHAR16 *WatchdogData);

static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePages) == 40);
static_assert(offsetof(EFI_BOOT_SERVICES, FreePages) == 48);
static_assert(offsetof(EFI_BOOT_SERVICES, UninstallProtocolInterface) == 144);
static_assert(offsetof(EFI_BOOT_SERVICES, SetWatchdogTimer) == 256);

#define EFI_NATIVE_INTERFACE 0U
#define EFI_PAGE_SIZE 4096ULL

// A slot the driver's definitions type as VOID *, called through its real type.
template <typename Function>
Function Slot(VOID *slot) {
  return reinterpret_cast<Function>(slot);
}

}  // namespace harness
