// Camera discovery: the probe that recognises the camera on one USB I/O interface, and the
// enumeration that fills the device table of the private data record.
#pragma once

#include "usb/Usb.h"

// ---------------------------------------------------------------- UVC probe

// The extension unit that identifies the camera: {9DA76D25-C70F-43FE-8FB7-F208770B92E7}.
// A UVC descriptor carries guidExtensionCode in EFI_GUID byte order.
#define KV_CAMERA_XU_GUID                                                          \
  {                                                                                \
    0x9DA76D25, 0xC70F, 0x43FE, { 0x8F, 0xB7, 0xF2, 0x08, 0x77, 0x0B, 0x92, 0xE7 } \
  }
extern const EFI_GUID CameraXuGuid;

// USB 2.0 and UVC 1.5 values the probe looks for.
#define USB_DESC_TYPE_CS_INTERFACE 0x24
#define UVC_VC_HEADER 0x01
#define UVC_VC_EXTENSION_UNIT 0x06
#define UVC_CLASS_VIDEO 0x0E
#define UVC_SUBCLASS_VIDEOCONTROL 0x01
#define UVC_VERSION_1_5 0x0150
#define UVC_PROTOCOL_15 0x01
#define UVC_PROTOCOL_UNDEFINED 0x00

// Bytes of a class-specific descriptor the probe reads: the subtype, the VC header up to
// bcdUVC, the extension unit up to the end of guidExtensionCode.
#define UVC_CS_DESCRIPTOR_MIN_LENGTH 3
#define UVC_VC_HEADER_MIN_LENGTH 5
#define UVC_EXTENSION_UNIT_MIN_LENGTH 20



// TRUE when the handle with this USB I/O interface and device path belongs to the camera:
// IsUsbCameraDevice, then FindCameraExtensionUnit. Sets XuUnitId on TRUE.
BOOLEAN IsSupportedCamera(EFI_USB_IO_PROTOCOL *UsbIo, EFI_DEVICE_PATH_PROTOCOL *DevicePath);
// The device-path test (the path ends in a USB node) and, where the USB I/O protocol can be
// opened on the value given, the video-control interface test.
BOOLEAN IsUsbCameraDevice(EFI_USB_IO_PROTOCOL *UsbIo, EFI_DEVICE_PATH_PROTOCOL *DevicePath);
// Reads the device's active configuration and looks for a video-control interface with the
// camera's extension unit; stores its bUnitID in XuUnitId and returns TRUE when found.
BOOLEAN FindCameraExtensionUnit(EFI_USB_IO_PROTOCOL *UsbIo);

// ---------------------------------------------------------------- enumeration

// Class of a DFU 1.1 interface (application specific).
#define USB_CLASS_APPLICATION_SPECIFIC 0xFE

// Chips that can be updated by DFU although they run their runtime firmware: chip vendor
// 0x3B5A and a chip ID whose bit (ChipId - DFU_CHIP_ID_BASE) is set in DFU_CHIP_ID_MASK.
#define DFU_CHIP_VENDOR_ID 0x3B5A
#define DFU_CHIP_ID_BASE 0x4C10
#define DFU_CHIP_ID_COUNT 40
#define DFU_CHIP_ID_MASK 0x80000001E1ULL

// TRUE when the chip answers as one of the DFU-capable chips.
BOOLEAN IsDfuCapableChip(UINT16 ChipVid, UINT16 ChipId);

// Fills the device table of the record pKVFmpPrivateData points to with the cameras on the
// USB buses, one entry per VID/PID, then marks runtime entries on DFU-capable chips. A table
// whose first slot is already set is kept; only the chip query runs over it.
// Returns EFI_SUCCESS, or the first fault that may have hidden a camera from the scan: the
// handle lookup's error (EFI_NOT_FOUND, no USB device at all, is no fault), or
// EFI_OUT_OF_RESOURCES when a probe could not allocate its configuration buffer.
EFI_STATUS GetUsbIoByLocateHandleBuffer();

// Records a fault that may have hidden a camera from the scan in progress; the first one
// recorded is the one GetUsbIoByLocateHandleBuffer returns.
VOID NoteDiscoveryFault(EFI_STATUS Status);
// Records that the probe of a device with these IDs could not finish because a request
// failed (a stall, a time-out, a short answer): it may be the camera.
VOID NoteProbeFault(UINT16 Vid, UINT16 Pid);
// TRUE when the last scan could not finish the probe of a device with these IDs (or of
// more devices than it keeps).
BOOLEAN ProbeFaultHid(UINT16 Vid, UINT16 Pid);
