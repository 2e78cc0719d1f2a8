// The private data record with its device table and firmware image descriptor. A leaf of
// driver/: it includes only platform/ and usb/ (the port chain) and declares nothing of the
// update run, so that the subsystems that fill and read the record (discovery/, dfu/)
// include this header alone.
#pragma once

#include "usb/Usb.h"

// Most cameras one record holds.
#define FMP_DEVICE_MAX 20

// How a device table entry is updated.
#define UPDATE_MODE_RUNTIME 0      // runtime firmware, updated over the vendor command channel
#define UPDATE_MODE_DFU 1          // exposes a DFU interface (its number in wInterfaceNumber)
#define UPDATE_MODE_DFU_CAPABLE 2  // runtime firmware on a chip that supports DFU

#define KV_PRIVATE_DATA_SIGNATURE 0x4450564BU  // "KVPD"

struct FmpPrivateData {
  UINT32 dwSignature;
  EFI_DEVICE_PATH_PROTOCOL *pDevicePath;
  EFI_USB_IO_PROTOCOL *pUsbIo[FMP_DEVICE_MAX];
  UINT8 bDescriptorCount;
  EFI_FIRMWARE_IMAGE_DESCRIPTOR *pDescriptor;
  UINT32 dwPackageVersion;
  const CHAR16 *pPackageName;
  UINT16 wVID[FMP_DEVICE_MAX];
  UINT16 wPID[FMP_DEVICE_MAX];
  UINT16 wFwVersion[FMP_DEVICE_MAX];
  UINT16 wMode[FMP_DEVICE_MAX];
  UINT16 wInterfaceNumber[FMP_DEVICE_MAX];
  UINT16 wCount;
  // The USB port chain of each entry's device (of its pUsbIo): the only port the DFU
  // procedure waits on for that camera.
  KV_PORT_CHAIN PortChain[FMP_DEVICE_MAX];
};

// Identity of the camera image, stamped into descriptor entry 0.
#define KV_IMAGE_TYPE_ID_GUID \
  {0x517E0EE9, 0x1838, 0x4B22, {0x97, 0x3B, 0x4F, 0xDA, 0x03, 0x31, 0x3A, 0xE2}}
#define KV_IMAGE_ID 0x1234
#define KV_IMAGE_VERSION 0xB0000489U
#define KV_IMAGE_LOWEST_SUPPORTED_VERSION 0xB0000488U
#define KV_IMAGE_SIZE 0x20000
#define KV_IMAGE_ATTRIBUTES                                                     \
  (IMAGE_ATTRIBUTE_IMAGE_UPDATABLE | IMAGE_ATTRIBUTE_RESET_REQUIRED |           \
   IMAGE_ATTRIBUTE_AUTHENTICATION_REQUIRED | IMAGE_ATTRIBUTE_IN_USE)
#define KV_PACKAGE_VERSION 1
#define KV_PACKAGE_NAME u"KvrUefiCapsule"

extern FmpPrivateData *pKVFmpPrivateData;

// Stamps the record pKVFmpPrivateData points to and (re)builds its descriptor array.
// EFI_OUT_OF_RESOURCES when the array cannot be allocated.
EFI_STATUS InitializeKVDescriptor();
