// UEFI 2.10 and PI 1.8 definitions used by the camera firmware update driver.
//
// Only the types the driver touches are declared. Every table that firmware hands
// to us keeps its full member order; slots the driver never calls are typed as
// plain pointers. Every size and offset the driver relies on is checked below, so
// a layout mistake fails the build instead of reading the wrong field.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define EFIAPI __attribute__((ms_abi))

typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int8_t INT8;
typedef int16_t INT16;
typedef int32_t INT32;
typedef int64_t INT64;
typedef uint64_t UINTN;
typedef int64_t INTN;
typedef uint8_t BOOLEAN;
typedef char CHAR8;
typedef char16_t CHAR16;
typedef void VOID;

static_assert(sizeof(void *) == 8, "the driver is built for x86-64 only");

#define TRUE ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)
#ifndef NULL
#define NULL nullptr
#endif
#define IN
#define OUT
#define OPTIONAL
#define CONST const

typedef UINTN EFI_STATUS;
typedef VOID *EFI_HANDLE;
typedef VOID *EFI_EVENT;
typedef UINTN EFI_TPL;
typedef UINT64 EFI_PHYSICAL_ADDRESS;

struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16);

// ---------------------------------------------------------------- status codes

#define EFI_MAX_BIT 0x8000000000000000ULL
#define EFIERR(a) (EFI_MAX_BIT | (a))
#define EFI_ERROR(a) (((INTN)(EFI_STATUS)(a)) < 0)

#define EFI_SUCCESS 0ULL
#define EFI_LOAD_ERROR EFIERR(1)
#define EFI_INVALID_PARAMETER EFIERR(2)
#define EFI_UNSUPPORTED EFIERR(3)
#define EFI_BAD_BUFFER_SIZE EFIERR(4)
#define EFI_BUFFER_TOO_SMALL EFIERR(5)
#define EFI_NOT_READY EFIERR(6)
#define EFI_DEVICE_ERROR EFIERR(7)
#define EFI_WRITE_PROTECTED EFIERR(8)
#define EFI_OUT_OF_RESOURCES EFIERR(9)
#define EFI_VOLUME_CORRUPTED EFIERR(10)
#define EFI_VOLUME_FULL EFIERR(11)
#define EFI_NO_MEDIA EFIERR(12)
#define EFI_MEDIA_CHANGED EFIERR(13)
#define EFI_NOT_FOUND EFIERR(14)
#define EFI_ACCESS_DENIED EFIERR(15)
#define EFI_NO_RESPONSE EFIERR(16)
#define EFI_NO_MAPPING EFIERR(17)
#define EFI_TIMEOUT EFIERR(18)
#define EFI_NOT_STARTED EFIERR(19)
#define EFI_ALREADY_STARTED EFIERR(20)
#define EFI_ABORTED EFIERR(21)
#define EFI_ICMP_ERROR EFIERR(22)
#define EFI_TFTP_ERROR EFIERR(23)
#define EFI_PROTOCOL_ERROR EFIERR(24)
#define EFI_INCOMPATIBLE_VERSION EFIERR(25)
#define EFI_SECURITY_VIOLATION EFIERR(26)
#define EFI_CRC_ERROR EFIERR(27)
#define EFI_END_OF_MEDIA EFIERR(28)
#define EFI_END_OF_FILE EFIERR(31)
#define EFI_INVALID_LANGUAGE EFIERR(32)
#define EFI_COMPROMISED_DATA EFIERR(33)

#define EFI_WARN_UNKNOWN_GLYPH 1ULL
#define EFI_WARN_DELETE_FAILURE 2ULL
#define EFI_WARN_WRITE_FAILURE 3ULL
#define EFI_WARN_BUFFER_TOO_SMALL 4ULL
#define EFI_WARN_STALE_DATA 5ULL

// ---------------------------------------------------------------- GUIDs

#define EFI_USB_IO_PROTOCOL_GUID \
  {0x2B2F68D6, 0x0CD2, 0x44CF, {0x8E, 0x8B, 0xBB, 0xA2, 0x0B, 0x1B, 0x5B, 0x75}}
#define EFI_DEVICE_PATH_PROTOCOL_GUID \
  {0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}}
#define EFI_HOB_LIST_GUID \
  {0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}}
#define EFI_CAPSULE_VENDOR_GUID \
  {0x711C703F, 0xC285, 0x4B10, {0xA3, 0xB0, 0x36, 0xEC, 0xBD, 0x3C, 0x8B, 0xE2}}
#define EFI_CAPSULE_GUID \
  {0x3B6686BD, 0x0D76, 0x4030, {0xB7, 0x0E, 0xB5, 0x51, 0x9E, 0x2F, 0xC5, 0xA0}}
#define EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID \
  {0x6DCBD5ED, 0xE82D, 0x4C44, {0xBD, 0xA1, 0x71, 0x94, 0x19, 0x9A, 0xD9, 0x2A}}
#define EFI_FIRMWARE_FILE_SYSTEM2_GUID \
  {0x8C8CE578, 0x8A3D, 0x4F1C, {0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3}}
#define EFI_FIRMWARE_FILE_SYSTEM3_GUID \
  {0x5473C07A, 0x3DCB, 0x4DCA, {0xBD, 0x6F, 0x1E, 0x96, 0x89, 0xE7, 0x34, 0x9A}}

// ---------------------------------------------------------------- tables

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24);

enum EFI_ALLOCATE_TYPE : UINT32 { AllocateAnyPages, AllocateMaxAddress, AllocateAddress };

enum EFI_MEMORY_TYPE : UINT32 {
  EfiReservedMemoryType,
  EfiLoaderCode,
  EfiLoaderData,
  EfiBootServicesCode,
  EfiBootServicesData,
  EfiRuntimeServicesCode,
  EfiRuntimeServicesData,
  EfiConventionalMemory,
};

enum EFI_LOCATE_SEARCH_TYPE : UINT32 { AllHandles, ByRegisterNotify, ByProtocol };

#define EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL 0x00000001U
#define EFI_OPEN_PROTOCOL_GET_PROTOCOL 0x00000002U
#define EFI_OPEN_PROTOCOL_TEST_PROTOCOL 0x00000004U
#define EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER 0x00000008U
#define EFI_OPEN_PROTOCOL_BY_DRIVER 0x00000010U
#define EFI_OPEN_PROTOCOL_EXCLUSIVE 0x00000020U

#define EFI_VARIABLE_NON_VOLATILE 0x00000001U
#define EFI_VARIABLE_BOOTSERVICE_ACCESS 0x00000002U
#define EFI_VARIABLE_RUNTIME_ACCESS 0x00000004U

typedef EFI_STATUS(EFIAPI *EFI_ALLOCATE_POOL)(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FREE_POOL)(VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_HANDLE_PROTOCOL)(EFI_HANDLE Handle, EFI_GUID *Protocol,
                                                VOID **Interface);
typedef EFI_STATUS(EFIAPI *EFI_STALL)(UINTN Microseconds);
typedef EFI_TPL(EFIAPI *EFI_RAISE_TPL)(EFI_TPL NewTpl);
typedef VOID(EFIAPI *EFI_RESTORE_TPL)(EFI_TPL OldTpl);

// Task priority levels (UEFI 2.10, 7.1). EDK II's USB bus driver removes a device that has
// left from its hub polling timer, at TPL_CALLBACK.
#define TPL_APPLICATION 4
#define TPL_CALLBACK 8
#define TPL_NOTIFY 16
#define TPL_HIGH_LEVEL 31
typedef EFI_STATUS(EFIAPI *EFI_CONNECT_CONTROLLER)(EFI_HANDLE ControllerHandle,
                                                   EFI_HANDLE *DriverImageHandle,
                                                   VOID *RemainingDevicePath, BOOLEAN Recursive);
typedef EFI_STATUS(EFIAPI *EFI_OPEN_PROTOCOL)(EFI_HANDLE Handle, EFI_GUID *Protocol,
                                              VOID **Interface, EFI_HANDLE AgentHandle,
                                              EFI_HANDLE ControllerHandle, UINT32 Attributes);
typedef EFI_STATUS(EFIAPI *EFI_CLOSE_PROTOCOL)(EFI_HANDLE Handle, EFI_GUID *Protocol,
                                               EFI_HANDLE AgentHandle,
                                               EFI_HANDLE ControllerHandle);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_HANDLE_BUFFER)(EFI_LOCATE_SEARCH_TYPE SearchType,
                                                     EFI_GUID *Protocol, VOID *SearchKey,
                                                     UINTN *NoHandles, EFI_HANDLE **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_PROTOCOL)(EFI_GUID *Protocol, VOID *Registration,
                                                VOID **Interface);
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_PROTOCOL_INTERFACE)(EFI_HANDLE *Handle,
                                                           EFI_GUID *Protocol,
                                                           UINT32 InterfaceType,
                                                           VOID *Interface);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_LOAD)(BOOLEAN BootPolicy, EFI_HANDLE ParentImageHandle,
                                           VOID *DevicePath, VOID *SourceBuffer,
                                           UINTN SourceSize, EFI_HANDLE *ImageHandle);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_START)(EFI_HANDLE ImageHandle, UINTN *ExitDataSize,
                                            CHAR16 **ExitData);
typedef EFI_STATUS(EFIAPI *EFI_CALCULATE_CRC32)(VOID *Data, UINTN DataSize, UINT32 *Crc32);

struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_RAISE_TPL RaiseTPL;
  EFI_RESTORE_TPL RestoreTPL;
  VOID *AllocatePages;
  VOID *FreePages;
  VOID *GetMemoryMap;
  EFI_ALLOCATE_POOL AllocatePool;
  EFI_FREE_POOL FreePool;
  VOID *CreateEvent;
  VOID *SetTimer;
  VOID *WaitForEvent;
  VOID *SignalEvent;
  VOID *CloseEvent;
  VOID *CheckEvent;
  EFI_INSTALL_PROTOCOL_INTERFACE InstallProtocolInterface;
  VOID *ReinstallProtocolInterface;
  VOID *UninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL HandleProtocol;
  VOID *Reserved;
  VOID *RegisterProtocolNotify;
  VOID *LocateHandle;
  VOID *LocateDevicePath;
  VOID *InstallConfigurationTable;
  EFI_IMAGE_LOAD LoadImage;
  EFI_IMAGE_START StartImage;
  VOID *Exit;
  VOID *UnloadImage;
  VOID *ExitBootServices;
  VOID *GetNextMonotonicCount;
  EFI_STALL Stall;
  VOID *SetWatchdogTimer;
  EFI_CONNECT_CONTROLLER ConnectController;
  VOID *DisconnectController;
  EFI_OPEN_PROTOCOL OpenProtocol;
  EFI_CLOSE_PROTOCOL CloseProtocol;
  VOID *OpenProtocolInformation;
  VOID *ProtocolsPerHandle;
  EFI_LOCATE_HANDLE_BUFFER LocateHandleBuffer;
  EFI_LOCATE_PROTOCOL LocateProtocol;
  VOID *InstallMultipleProtocolInterfaces;
  VOID *UninstallMultipleProtocolInterfaces;
  EFI_CALCULATE_CRC32 CalculateCrc32;
  VOID *CopyMem;
  VOID *SetMem;
  VOID *CreateEventEx;
};
static_assert(offsetof(EFI_BOOT_SERVICES, RaiseTPL) == 24);
static_assert(offsetof(EFI_BOOT_SERVICES, RestoreTPL) == 32);
static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePool) == 64);
static_assert(offsetof(EFI_BOOT_SERVICES, FreePool) == 72);
static_assert(offsetof(EFI_BOOT_SERVICES, InstallProtocolInterface) == 128);
static_assert(offsetof(EFI_BOOT_SERVICES, HandleProtocol) == 152);
static_assert(offsetof(EFI_BOOT_SERVICES, LoadImage) == 200);
static_assert(offsetof(EFI_BOOT_SERVICES, StartImage) == 208);
static_assert(offsetof(EFI_BOOT_SERVICES, Stall) == 248);
static_assert(offsetof(EFI_BOOT_SERVICES, ConnectController) == 264);
static_assert(offsetof(EFI_BOOT_SERVICES, OpenProtocol) == 280);
static_assert(offsetof(EFI_BOOT_SERVICES, CloseProtocol) == 288);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateHandleBuffer) == 312);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateProtocol) == 320);
static_assert(offsetof(EFI_BOOT_SERVICES, CalculateCrc32) == 344);
static_assert(sizeof(EFI_BOOT_SERVICES) == 376);

enum EFI_RESET_TYPE : UINT32 { EfiResetCold, EfiResetWarm, EfiResetShutdown, EfiResetPlatformSpecific };

typedef EFI_STATUS(EFIAPI *EFI_GET_VARIABLE)(CHAR16 *VariableName, EFI_GUID *VendorGuid,
                                             UINT32 *Attributes, UINTN *DataSize, VOID *Data);
typedef EFI_STATUS(EFIAPI *EFI_SET_VARIABLE)(CHAR16 *VariableName, EFI_GUID *VendorGuid,
                                             UINT32 Attributes, UINTN DataSize, VOID *Data);
typedef VOID(EFIAPI *EFI_RESET_SYSTEM)(EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus,
                                       UINTN DataSize, VOID *ResetData);

struct EFI_RUNTIME_SERVICES {
  EFI_TABLE_HEADER Hdr;
  VOID *GetTime;
  VOID *SetTime;
  VOID *GetWakeupTime;
  VOID *SetWakeupTime;
  VOID *SetVirtualAddressMap;
  VOID *ConvertPointer;
  EFI_GET_VARIABLE GetVariable;
  VOID *GetNextVariableName;
  EFI_SET_VARIABLE SetVariable;
  VOID *GetNextHighMonotonicCount;
  EFI_RESET_SYSTEM ResetSystem;
  VOID *UpdateCapsule;
  VOID *QueryCapsuleCapabilities;
  VOID *QueryVariableInfo;
};
static_assert(offsetof(EFI_RUNTIME_SERVICES, GetVariable) == 72);
static_assert(offsetof(EFI_RUNTIME_SERVICES, SetVariable) == 88);
static_assert(offsetof(EFI_RUNTIME_SERVICES, ResetSystem) == 104);
static_assert(sizeof(EFI_RUNTIME_SERVICES) == 136);

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_TEXT_STRING)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This,
                                            CHAR16 *String);
struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL {
  VOID *Reset;
  EFI_TEXT_STRING OutputString;
  VOID *TestString;
  VOID *QueryMode;
  VOID *SetMode;
  VOID *SetAttribute;
  VOID *ClearScreen;
  VOID *SetCursorPosition;
  VOID *EnableCursor;
  VOID *Mode;
};
static_assert(offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, OutputString) == 8);

struct EFI_CONFIGURATION_TABLE {
  EFI_GUID VendorGuid;
  VOID *VendorTable;
};
static_assert(offsetof(EFI_CONFIGURATION_TABLE, VendorTable) == 16);
static_assert(sizeof(EFI_CONFIGURATION_TABLE) == 24);

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  VOID *ConIn;
  EFI_HANDLE ConsoleOutHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConOut;
  EFI_HANDLE StandardErrorHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *StdErr;
  EFI_RUNTIME_SERVICES *RuntimeServices;
  EFI_BOOT_SERVICES *BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *ConfigurationTable;
};
static_assert(offsetof(EFI_SYSTEM_TABLE, FirmwareVendor) == 24);
static_assert(offsetof(EFI_SYSTEM_TABLE, ConOut) == 64);
static_assert(offsetof(EFI_SYSTEM_TABLE, RuntimeServices) == 88);
static_assert(offsetof(EFI_SYSTEM_TABLE, BootServices) == 96);
static_assert(offsetof(EFI_SYSTEM_TABLE, NumberOfTableEntries) == 104);
static_assert(offsetof(EFI_SYSTEM_TABLE, ConfigurationTable) == 112);
static_assert(sizeof(EFI_SYSTEM_TABLE) == 120);

#define EFI_SYSTEM_TABLE_SIGNATURE 0x5453595320494249ULL
#define EFI_BOOT_SERVICES_SIGNATURE 0x56524553544f4f42ULL
#define EFI_RUNTIME_SERVICES_SIGNATURE 0x56524553544e5552ULL

typedef EFI_STATUS(EFIAPI *EFI_IMAGE_ENTRY_POINT)(EFI_HANDLE ImageHandle,
                                                  EFI_SYSTEM_TABLE *SystemTable);

// ---------------------------------------------------------------- device path

#pragma pack(push, 1)
struct EFI_DEVICE_PATH_PROTOCOL {
  UINT8 Type;
  UINT8 SubType;
  UINT8 Length[2];
};
static_assert(sizeof(EFI_DEVICE_PATH_PROTOCOL) == 4);

#define HARDWARE_DEVICE_PATH 0x01
#define HW_PCI_DP 0x01
#define ACPI_DEVICE_PATH 0x02
#define ACPI_DP 0x01
#define MESSAGING_DEVICE_PATH 0x03
#define MSG_USB_DP 0x05
#define END_DEVICE_PATH_TYPE 0x7F
#define END_ENTIRE_DEVICE_PATH_SUBTYPE 0xFF

struct ACPI_HID_DEVICE_PATH {
  EFI_DEVICE_PATH_PROTOCOL Header;
  UINT32 HID;
  UINT32 UID;
};
static_assert(sizeof(ACPI_HID_DEVICE_PATH) == 12);

struct PCI_DEVICE_PATH {
  EFI_DEVICE_PATH_PROTOCOL Header;
  UINT8 Function;
  UINT8 Device;
};
static_assert(sizeof(PCI_DEVICE_PATH) == 6);

struct USB_DEVICE_PATH {
  EFI_DEVICE_PATH_PROTOCOL Header;
  UINT8 ParentPortNumber;
  UINT8 InterfaceNumber;
};
static_assert(sizeof(USB_DEVICE_PATH) == 6);
static_assert(offsetof(USB_DEVICE_PATH, InterfaceNumber) == 5);
#pragma pack(pop)

// ---------------------------------------------------------------- USB 2.0 and EFI_USB_IO_PROTOCOL

#pragma pack(push, 1)
struct EFI_USB_DEVICE_REQUEST {
  UINT8 RequestType;
  UINT8 Request;
  UINT16 Value;
  UINT16 Index;
  UINT16 Length;
};
static_assert(sizeof(EFI_USB_DEVICE_REQUEST) == 8);
static_assert(offsetof(EFI_USB_DEVICE_REQUEST, Value) == 2);
static_assert(offsetof(EFI_USB_DEVICE_REQUEST, Index) == 4);
static_assert(offsetof(EFI_USB_DEVICE_REQUEST, Length) == 6);

struct EFI_USB_DEVICE_DESCRIPTOR {
  UINT8 Length;
  UINT8 DescriptorType;
  UINT16 BcdUSB;
  UINT8 DeviceClass;
  UINT8 DeviceSubClass;
  UINT8 DeviceProtocol;
  UINT8 MaxPacketSize0;
  UINT16 IdVendor;
  UINT16 IdProduct;
  UINT16 BcdDevice;
  UINT8 StrManufacturer;
  UINT8 StrProduct;
  UINT8 StrSerialNumber;
  UINT8 NumConfigurations;
};
static_assert(sizeof(EFI_USB_DEVICE_DESCRIPTOR) == 18);
static_assert(offsetof(EFI_USB_DEVICE_DESCRIPTOR, IdVendor) == 8);
static_assert(offsetof(EFI_USB_DEVICE_DESCRIPTOR, IdProduct) == 10);
static_assert(offsetof(EFI_USB_DEVICE_DESCRIPTOR, BcdDevice) == 12);

struct EFI_USB_CONFIG_DESCRIPTOR {
  UINT8 Length;
  UINT8 DescriptorType;
  UINT16 TotalLength;
  UINT8 NumInterfaces;
  UINT8 ConfigurationValue;
  UINT8 Configuration;
  UINT8 Attributes;
  UINT8 MaxPower;
};
static_assert(sizeof(EFI_USB_CONFIG_DESCRIPTOR) == 9);
static_assert(offsetof(EFI_USB_CONFIG_DESCRIPTOR, TotalLength) == 2);
static_assert(offsetof(EFI_USB_CONFIG_DESCRIPTOR, NumInterfaces) == 4);

struct EFI_USB_INTERFACE_DESCRIPTOR {
  UINT8 Length;
  UINT8 DescriptorType;
  UINT8 InterfaceNumber;
  UINT8 AlternateSetting;
  UINT8 NumEndpoints;
  UINT8 InterfaceClass;
  UINT8 InterfaceSubClass;
  UINT8 InterfaceProtocol;
  UINT8 Interface;
};
static_assert(sizeof(EFI_USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(offsetof(EFI_USB_INTERFACE_DESCRIPTOR, InterfaceClass) == 5);

struct EFI_USB_ENDPOINT_DESCRIPTOR {
  UINT8 Length;
  UINT8 DescriptorType;
  UINT8 EndpointAddress;
  UINT8 Attributes;
  UINT16 MaxPacketSize;
  UINT8 Interval;
};
static_assert(sizeof(EFI_USB_ENDPOINT_DESCRIPTOR) == 7);
#pragma pack(pop)

// USB 2.0, 9.4 and 9.6
#define USB_DESC_TYPE_DEVICE 0x01
#define USB_DESC_TYPE_CONFIG 0x02
#define USB_DESC_TYPE_STRING 0x03
#define USB_DESC_TYPE_INTERFACE 0x04
#define USB_DESC_TYPE_ENDPOINT 0x05
#define USB_REQ_GET_STATUS 0x00
#define USB_REQ_GET_DESCRIPTOR 0x06
#define USB_REQ_GET_CONFIG 0x08
#define USB_REQ_SET_CONFIG 0x09
#define USB_REQ_SET_INTERFACE 0x0B

enum EFI_USB_DATA_DIRECTION : UINT32 { EfiUsbDataIn, EfiUsbDataOut, EfiUsbNoData };

// USB 2.0, 9.3.1: bmRequestType is the data stage's direction (bit 7), the request's type
// (bits 5-6) and its recipient (bits 0-4), built as EDK II's UsbBusDxe builds it.
#define USB_REQ_TYPE_DIR_IN 0x80
#define USB_REQ_TYPE_STANDARD 0x00
#define USB_REQ_TYPE_CLASS 0x20
#define USB_REQ_TYPE_VENDOR 0x40
#define USB_TARGET_DEVICE 0x00
#define USB_TARGET_INTERFACE 0x01
#define USB_REQUEST_TYPE(Dir, Type, Target) \
  ((UINT8)(((Dir) == EfiUsbDataIn ? USB_REQ_TYPE_DIR_IN : 0) | (Type) | (Target)))
// Class-specific requests to an interface, the form UVC 1.5 and DFU 1.1 requests take.
#define USB_REQ_CLASS_INTERFACE_OUT \
  USB_REQUEST_TYPE(EfiUsbDataOut, USB_REQ_TYPE_CLASS, USB_TARGET_INTERFACE)  // 0x21
#define USB_REQ_CLASS_INTERFACE_IN \
  USB_REQUEST_TYPE(EfiUsbDataIn, USB_REQ_TYPE_CLASS, USB_TARGET_INTERFACE)  // 0xA1

// Bits of the UsbStatus word a transfer reports next to its EFI_STATUS.
#define EFI_USB_NOERROR 0x00U
#define EFI_USB_ERR_NOTEXECUTE 0x01U
#define EFI_USB_ERR_STALL 0x02U
#define EFI_USB_ERR_BUFFER 0x04U
#define EFI_USB_ERR_BABBLE 0x08U
#define EFI_USB_ERR_NAK 0x10U
#define EFI_USB_ERR_CRC 0x20U
#define EFI_USB_ERR_TIMEOUT 0x40U
#define EFI_USB_ERR_BITSTUFF 0x80U
#define EFI_USB_ERR_SYSTEM 0x100U

struct EFI_USB_IO_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_USB_IO_CONTROL_TRANSFER)(EFI_USB_IO_PROTOCOL *This,
                                                        EFI_USB_DEVICE_REQUEST *Request,
                                                        EFI_USB_DATA_DIRECTION Direction,
                                                        UINT32 Timeout, VOID *Data,
                                                        UINTN DataLength, UINT32 *Status);
typedef EFI_STATUS(EFIAPI *EFI_USB_IO_BULK_TRANSFER)(EFI_USB_IO_PROTOCOL *This,
                                                     UINT8 DeviceEndpoint, VOID *Data,
                                                     UINTN *DataLength, UINTN Timeout,
                                                     UINT32 *Status);
typedef EFI_STATUS(EFIAPI *EFI_USB_IO_GET_DEVICE_DESCRIPTOR)(
    EFI_USB_IO_PROTOCOL *This, EFI_USB_DEVICE_DESCRIPTOR *DeviceDescriptor);
typedef EFI_STATUS(EFIAPI *EFI_USB_IO_GET_CONFIG_DESCRIPTOR)(
    EFI_USB_IO_PROTOCOL *This, EFI_USB_CONFIG_DESCRIPTOR *ConfigurationDescriptor);
typedef EFI_STATUS(EFIAPI *EFI_USB_IO_GET_INTERFACE_DESCRIPTOR)(
    EFI_USB_IO_PROTOCOL *This, EFI_USB_INTERFACE_DESCRIPTOR *InterfaceDescriptor);
typedef EFI_STATUS(EFIAPI *EFI_USB_IO_GET_ENDPOINT_DESCRIPTOR)(
    EFI_USB_IO_PROTOCOL *This, UINT8 EndpointIndex,
    EFI_USB_ENDPOINT_DESCRIPTOR *EndpointDescriptor);
typedef EFI_STATUS(EFIAPI *EFI_USB_IO_GET_STRING_DESCRIPTOR)(EFI_USB_IO_PROTOCOL *This,
                                                             UINT16 LangID, UINT8 StringID,
                                                             CHAR16 **String);
typedef EFI_STATUS(EFIAPI *EFI_USB_IO_GET_SUPPORTED_LANGUAGE)(EFI_USB_IO_PROTOCOL *This,
                                                              UINT16 **LangIDTable,
                                                              UINT16 *TableSize);
typedef EFI_STATUS(EFIAPI *EFI_USB_IO_PORT_RESET)(EFI_USB_IO_PROTOCOL *This);

struct EFI_USB_IO_PROTOCOL {
  EFI_USB_IO_CONTROL_TRANSFER UsbControlTransfer;
  EFI_USB_IO_BULK_TRANSFER UsbBulkTransfer;
  VOID *UsbAsyncInterruptTransfer;
  VOID *UsbSyncInterruptTransfer;
  VOID *UsbIsochronousTransfer;
  VOID *UsbAsyncIsochronousTransfer;
  EFI_USB_IO_GET_DEVICE_DESCRIPTOR UsbGetDeviceDescriptor;
  EFI_USB_IO_GET_CONFIG_DESCRIPTOR UsbGetConfigDescriptor;
  EFI_USB_IO_GET_INTERFACE_DESCRIPTOR UsbGetInterfaceDescriptor;
  EFI_USB_IO_GET_ENDPOINT_DESCRIPTOR UsbGetEndpointDescriptor;
  EFI_USB_IO_GET_STRING_DESCRIPTOR UsbGetStringDescriptor;
  EFI_USB_IO_GET_SUPPORTED_LANGUAGE UsbGetSupportedLanguages;
  EFI_USB_IO_PORT_RESET UsbPortReset;
};
static_assert(offsetof(EFI_USB_IO_PROTOCOL, UsbControlTransfer) == 0);
static_assert(offsetof(EFI_USB_IO_PROTOCOL, UsbGetDeviceDescriptor) == 48);
static_assert(offsetof(EFI_USB_IO_PROTOCOL, UsbGetConfigDescriptor) == 56);
static_assert(offsetof(EFI_USB_IO_PROTOCOL, UsbGetInterfaceDescriptor) == 64);
static_assert(sizeof(EFI_USB_IO_PROTOCOL) == 104);

// ---------------------------------------------------------------- PI 1.8 HOBs

#pragma pack(push, 1)
struct EFI_HOB_GENERIC_HEADER {
  UINT16 HobType;
  UINT16 HobLength;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_HOB_GENERIC_HEADER) == 8);
static_assert(offsetof(EFI_HOB_GENERIC_HEADER, HobLength) == 2);

struct EFI_HOB_HANDOFF_INFO_TABLE {
  EFI_HOB_GENERIC_HEADER Header;
  UINT32 Version;
  UINT32 BootMode;
  EFI_PHYSICAL_ADDRESS EfiMemoryTop;
  EFI_PHYSICAL_ADDRESS EfiMemoryBottom;
  EFI_PHYSICAL_ADDRESS EfiFreeMemoryTop;
  EFI_PHYSICAL_ADDRESS EfiFreeMemoryBottom;
  EFI_PHYSICAL_ADDRESS EfiEndOfHobList;
};
static_assert(sizeof(EFI_HOB_HANDOFF_INFO_TABLE) == 56);

// Capsule HOB: PI 1.8 type 0x000B; the Framework-era capsule volume HOB (type 0x0008)
// has the same body.
struct EFI_HOB_UEFI_CAPSULE {
  EFI_HOB_GENERIC_HEADER Header;
  EFI_PHYSICAL_ADDRESS BaseAddress;
  UINT64 Length;
};
static_assert(sizeof(EFI_HOB_UEFI_CAPSULE) == 24);
static_assert(offsetof(EFI_HOB_UEFI_CAPSULE, BaseAddress) == 8);
static_assert(offsetof(EFI_HOB_UEFI_CAPSULE, Length) == 16);
#pragma pack(pop)

#define EFI_HOB_TYPE_HANDOFF 0x0001
#define EFI_HOB_TYPE_MEMORY_ALLOCATION 0x0002
#define EFI_HOB_TYPE_RESOURCE_DESCRIPTOR 0x0003
#define EFI_HOB_TYPE_GUID_EXTENSION 0x0004
#define EFI_HOB_TYPE_FV 0x0005
#define EFI_HOB_TYPE_CV 0x0008
#define EFI_HOB_TYPE_UEFI_CAPSULE 0x000B
#define EFI_HOB_TYPE_UNUSED 0xFFFE
#define EFI_HOB_TYPE_END_OF_HOB_LIST 0xFFFF

// ---------------------------------------------------------------- UEFI 2.10 capsules and FMP

#pragma pack(push, 1)
struct EFI_CAPSULE_HEADER {
  EFI_GUID CapsuleGuid;
  UINT32 HeaderSize;
  UINT32 Flags;
  UINT32 CapsuleImageSize;
};
static_assert(sizeof(EFI_CAPSULE_HEADER) == 28);
static_assert(offsetof(EFI_CAPSULE_HEADER, HeaderSize) == 16);
static_assert(offsetof(EFI_CAPSULE_HEADER, Flags) == 20);
static_assert(offsetof(EFI_CAPSULE_HEADER, CapsuleImageSize) == 24);

#define CAPSULE_FLAGS_PERSIST_ACROSS_RESET 0x00010000U
#define CAPSULE_FLAGS_POPULATE_SYSTEM_TABLE 0x00020000U
#define CAPSULE_FLAGS_INITIATE_RESET 0x00040000U

// Followed by UINT64 ItemOffsetList[EmbeddedDriverCount + PayloadItemCount].
struct EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER {
  UINT32 Version;
  UINT16 EmbeddedDriverCount;
  UINT16 PayloadItemCount;
};
static_assert(sizeof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER) == 8);
static_assert(offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER, EmbeddedDriverCount) == 4);
static_assert(offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER, PayloadItemCount) == 6);
#define EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER_INIT_VERSION 0x00000001U

// Payload item header; version 2 ends after UpdateHardwareInstance (40 bytes),
// version 3 adds ImageCapsuleSupport.
struct EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER {
  UINT32 Version;
  EFI_GUID UpdateImageTypeId;
  UINT8 UpdateImageIndex;
  UINT8 reserved_bytes[3];
  UINT32 UpdateImageSize;
  UINT32 UpdateVendorCodeSize;
  UINT64 UpdateHardwareInstance;
  UINT64 ImageCapsuleSupport;
};
static_assert(offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateImageTypeId) == 4);
static_assert(offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateImageIndex) == 20);
static_assert(offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateImageSize) == 24);
static_assert(offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateVendorCodeSize) ==
              28);
static_assert(offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateHardwareInstance) ==
              32);
static_assert(offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, ImageCapsuleSupport) == 40);
static_assert(sizeof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER) == 48);
// The header's size by its Version: 1 ends before UpdateHardwareInstance, 2 before
// ImageCapsuleSupport, 3 is the whole structure.
#define EFI_FMP_CAPSULE_IMAGE_HEADER_V1_SIZE 32U
#define EFI_FMP_CAPSULE_IMAGE_HEADER_V2_SIZE 40U
static_assert(EFI_FMP_CAPSULE_IMAGE_HEADER_V1_SIZE ==
              offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateHardwareInstance));
static_assert(EFI_FMP_CAPSULE_IMAGE_HEADER_V2_SIZE ==
              offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, ImageCapsuleSupport));
#define EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER_INIT_VERSION 3U
// ImageCapsuleSupport bits (version 3): what the item's data holds before the image.
#define CAPSULE_SUPPORT_AUTHENTICATION 0x0000000000000001ULL
#define CAPSULE_SUPPORT_DEPENDENCY 0x0000000000000002ULL

// WIN_CERTIFICATE_UEFI_GUID (UEFI 2.10, 32.2.4), CertData following CertType.
struct WIN_CERTIFICATE {
  UINT32 dwLength;  // of the whole certificate, this header and CertData
  UINT16 wRevision;
  UINT16 wCertificateType;
};
struct WIN_CERTIFICATE_UEFI_GUID {
  WIN_CERTIFICATE Hdr;
  EFI_GUID CertType;
};
static_assert(sizeof(WIN_CERTIFICATE) == 8);
static_assert(offsetof(WIN_CERTIFICATE, wRevision) == 4);
static_assert(offsetof(WIN_CERTIFICATE, wCertificateType) == 6);
static_assert(sizeof(WIN_CERTIFICATE_UEFI_GUID) == 24);
static_assert(offsetof(WIN_CERTIFICATE_UEFI_GUID, CertType) == 8);
#define WIN_CERT_REVISION_2_0 0x0200
#define WIN_CERT_TYPE_EFI_GUID 0x0EF1
#define EFI_CERT_TYPE_PKCS7_GUID \
  {0x4AAFD29D, 0x68DF, 0x49EE, {0x8A, 0xA9, 0x34, 0x7D, 0x37, 0x56, 0x65, 0xA7}}

// EFI_FIRMWARE_IMAGE_AUTHENTICATION (UEFI 2.10, 23.1): the signed image's first bytes.
struct EFI_FIRMWARE_IMAGE_AUTHENTICATION {
  UINT64 MonotonicCount;
  WIN_CERTIFICATE_UEFI_GUID AuthInfo;
};
static_assert(sizeof(EFI_FIRMWARE_IMAGE_AUTHENTICATION) == 32);
static_assert(offsetof(EFI_FIRMWARE_IMAGE_AUTHENTICATION, AuthInfo) == 8);

// EDK II's FMP payload header, in front of the image an FMP device updates.
struct FMP_PAYLOAD_HEADER {
  UINT32 Signature;  // "MSS1"
  UINT32 HeaderSize;
  UINT32 FwVersion;
  UINT32 LowestSupportedVersion;
};
static_assert(sizeof(FMP_PAYLOAD_HEADER) == 16);
static_assert(offsetof(FMP_PAYLOAD_HEADER, HeaderSize) == 4);
static_assert(offsetof(FMP_PAYLOAD_HEADER, FwVersion) == 8);
static_assert(offsetof(FMP_PAYLOAD_HEADER, LowestSupportedVersion) == 12);
#define FMP_PAYLOAD_HEADER_SIGNATURE 0x3153534DU  // 'M' 'S' 'S' '1'
#pragma pack(pop)

// EFI_FIRMWARE_IMAGE_DESCRIPTOR, descriptor version 4 (natural alignment, as UEFI 2.10
// declares it).
#define EFI_FIRMWARE_IMAGE_DESCRIPTOR_VERSION 4
struct EFI_FIRMWARE_IMAGE_DESCRIPTOR {
  UINT8 ImageIndex;
  EFI_GUID ImageTypeId;
  UINT64 ImageId;
  CHAR16 *ImageIdName;
  UINT32 Version;
  CHAR16 *VersionName;
  UINTN Size;
  UINT64 AttributesSupported;
  UINT64 AttributesSetting;
  UINT64 Compatibilities;
  UINT32 LowestSupportedImageVersion;
  UINT32 LastAttemptVersion;
  UINT32 LastAttemptStatus;
  UINT64 HardwareInstance;
  VOID *Dependencies;
};
static_assert(offsetof(EFI_FIRMWARE_IMAGE_DESCRIPTOR, ImageTypeId) == 4);
static_assert(offsetof(EFI_FIRMWARE_IMAGE_DESCRIPTOR, ImageId) == 24);
static_assert(offsetof(EFI_FIRMWARE_IMAGE_DESCRIPTOR, ImageIdName) == 32);
static_assert(offsetof(EFI_FIRMWARE_IMAGE_DESCRIPTOR, Version) == 40);
static_assert(offsetof(EFI_FIRMWARE_IMAGE_DESCRIPTOR, VersionName) == 48);
static_assert(offsetof(EFI_FIRMWARE_IMAGE_DESCRIPTOR, Size) == 56);
static_assert(offsetof(EFI_FIRMWARE_IMAGE_DESCRIPTOR, AttributesSupported) == 64);
static_assert(offsetof(EFI_FIRMWARE_IMAGE_DESCRIPTOR, AttributesSetting) == 72);
static_assert(offsetof(EFI_FIRMWARE_IMAGE_DESCRIPTOR, Compatibilities) == 80);
static_assert(offsetof(EFI_FIRMWARE_IMAGE_DESCRIPTOR, LowestSupportedImageVersion) == 88);
static_assert(offsetof(EFI_FIRMWARE_IMAGE_DESCRIPTOR, LastAttemptVersion) == 92);
static_assert(offsetof(EFI_FIRMWARE_IMAGE_DESCRIPTOR, LastAttemptStatus) == 96);
static_assert(offsetof(EFI_FIRMWARE_IMAGE_DESCRIPTOR, HardwareInstance) == 104);
static_assert(offsetof(EFI_FIRMWARE_IMAGE_DESCRIPTOR, Dependencies) == 112);
static_assert(sizeof(EFI_FIRMWARE_IMAGE_DESCRIPTOR) == 120);

#define IMAGE_ATTRIBUTE_IMAGE_UPDATABLE 0x0000000000000001ULL
#define IMAGE_ATTRIBUTE_RESET_REQUIRED 0x0000000000000002ULL
#define IMAGE_ATTRIBUTE_AUTHENTICATION_REQUIRED 0x0000000000000004ULL
#define IMAGE_ATTRIBUTE_IN_USE 0x0000000000000008ULL

// ---------------------------------------------------------------- PI 1.8 firmware volumes

#pragma pack(push, 1)
struct EFI_FV_BLOCK_MAP_ENTRY {
  UINT32 NumBlocks;
  UINT32 Length;
};
static_assert(sizeof(EFI_FV_BLOCK_MAP_ENTRY) == 8);

// Followed by the block map, ended by a zero entry.
struct EFI_FIRMWARE_VOLUME_HEADER {
  UINT8 ZeroVector[16];
  EFI_GUID FileSystemGuid;
  UINT64 FvLength;
  UINT32 Signature;
  UINT32 Attributes;
  UINT16 HeaderLength;
  UINT16 Checksum;
  UINT16 ExtHeaderOffset;
  UINT8 Reserved[1];
  UINT8 Revision;
};
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, FvLength) == 32);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, Signature) == 40);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, HeaderLength) == 48);
static_assert(sizeof(EFI_FIRMWARE_VOLUME_HEADER) == 56);
#define EFI_FVH_SIGNATURE 0x4856465FU  // "_FVH"

struct EFI_FFS_FILE_HEADER {
  EFI_GUID Name;
  UINT16 IntegrityCheck;
  UINT8 Type;
  UINT8 Attributes;
  UINT8 Size[3];
  UINT8 State;
};
static_assert(sizeof(EFI_FFS_FILE_HEADER) == 24);
static_assert(offsetof(EFI_FFS_FILE_HEADER, Attributes) == 19);
static_assert(offsetof(EFI_FFS_FILE_HEADER, Size) == 20);

struct EFI_FFS_FILE_HEADER2 {
  EFI_GUID Name;
  UINT16 IntegrityCheck;
  UINT8 Type;
  UINT8 Attributes;
  UINT8 Size[3];
  UINT8 State;
  UINT64 ExtendedSize;
};
static_assert(offsetof(EFI_FFS_FILE_HEADER2, ExtendedSize) == 24);
static_assert(sizeof(EFI_FFS_FILE_HEADER2) == 32);
#pragma pack(pop)

#define FFS_ATTRIB_LARGE_FILE 0x01
#define EFI_FV_FILETYPE_RAW 0x01
#define EFI_FV_FILETYPE_FREEFORM 0x02
#define EFI_FV_FILETYPE_DRIVER 0x07
#define EFI_FV_FILETYPE_FFS_PAD 0xF0
#define EFI_FILE_HEADER_CONSTRUCTION 0x01
#define EFI_FILE_HEADER_VALID 0x02
#define EFI_FILE_DATA_VALID 0x04
