// DFU update: the DFU 1.1 class requests, the image download and the DFU-path update.
//
// On the DFU path the camera is told to allow the update and detached into its DFU ROM
// device (PID 0x4C00). The ROM device's DFU state is brought back to where a download can
// start, the image goes down in 4096-byte DFU_DNLOAD blocks, and the ROM device is detached
// again so that it starts the new firmware; the camera must then come back with the VID,
// PID and version named by the firmware version block inside the image.
#pragma once

#include "capsule/Capsule.h"
#include "usb/Usb.h"

// ---------------------------------------------------------------- DFU 1.1 class requests

#define DFU_DETACH 0
#define DFU_DNLOAD 1
#define DFU_UPLOAD 2
#define DFU_GETSTATUS 3
#define DFU_CLRSTATUS 4
#define DFU_GETSTATE 5
#define DFU_ABORT 6

#define DFU_REQUEST_TYPE_OUT USB_REQ_CLASS_INTERFACE_OUT
#define DFU_REQUEST_TYPE_IN USB_REQ_CLASS_INTERFACE_IN

// Device states (DFU 1.1, 6.1.2).
#define DFU_STATE_APP_IDLE 0
#define DFU_STATE_APP_DETACH 1
#define DFU_STATE_DFU_IDLE 2
#define DFU_STATE_DNLOAD_SYNC 3
#define DFU_STATE_DNBUSY 4
#define DFU_STATE_DNLOAD_IDLE 5
#define DFU_STATE_MANIFEST_SYNC 6
#define DFU_STATE_MANIFEST 7
#define DFU_STATE_MANIFEST_WAIT_RESET 8
#define DFU_STATE_UPLOAD_IDLE 9
#define DFU_STATE_DFU_ERROR 10

#define DFU_STATUS_OK 0

// Timeouts of the DFU requests, in milliseconds.
#define DFU_REQUEST_TIMEOUT_MS 5000
#define DFU_FINAL_TIMEOUT_MS 20000

// The ROM device is addressed on its interface 0.
#define DFU_ROM_INTERFACE 0

// The DFU_GETSTATUS answer, 6 bytes as they arrive.
#pragma pack(push, 1)
struct DFUStatus {
  UINT8 bStatus;           // 0: DFU_STATUS_OK; any other value is an error status
  UINT8 bwPollTimeout[3];  // 24-bit little-endian: milliseconds before the next request
  UINT8 bState;            // DFU_STATE_*
  UINT8 iString;
};
#pragma pack(pop)
static_assert(sizeof(DFUStatus) == 6);
static_assert(offsetof(DFUStatus, bwPollTimeout) == 1);
static_assert(offsetof(DFUStatus, bState) == 4);

#define DFU_STATUS_LENGTH 6

// How a failed DFU request is reported.
enum DFU_FAILURE_REPORT {
  DfuReportStatus,   // the request's line, the interface pointer, the transfer's result
  DfuReportWrapper,  // sent through SendControlRequest: its line (with the entity), then
                     // the request's
  DfuReportNone,     // by the caller (DFU_DNLOAD)
};
// Every DFU request: one control transfer of Length bytes of Data (0: no data stage) to
// InterfaceNumber through UsbControlRequest, TimeoutMs, or, for the allow-update and detach
// requests (DfuReportWrapper), through SendControlRequest with its own 5000 ms. A USB status
// fails it. TRUE when it succeeded; none retries.
BOOLEAN DFURequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 RequestType, UINT8 Request, UINT16 Value,
                   UINT8 InterfaceNumber, VOID *Data, UINT16 Length, UINT32 TimeoutMs,
                   DFU_FAILURE_REPORT Report, const CHAR8 *FailText);

// The three status requests. Each is one control transfer to the interface, 5000 ms,
// through UsbControlRequest (a USB status fails it); on a failure each logs its own three
// lines and returns FALSE; none retries.
// DFU_GETSTATUS into Destination: Length is both wLength and the transfer's data length
// (callers give a 6-byte DFUStatus and 6).
BOOLEAN DFUGetStatus(EFI_USB_IO_PROTOCOL *UsbIo, VOID *Destination, UINT16 Length,
                     UINT8 InterfaceNumber);
// DFU_CLRSTATUS and DFU_ABORT carry no data stage and go out as EfiUsbNoData.
BOOLEAN DFUClearStatus(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 InterfaceNumber);
BOOLEAN DFUAbort(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 InterfaceNumber);

// The 24-bit poll timeout of an answer, in milliseconds.
UINT32 DFUPollTimeout(const DFUStatus *Status);

// ---------------------------------------------------------------- image transfer

#define DFU_BLOCK_SIZE 4096

// Bounds of the waits a ROM device can ask for. The recovery stage gives up after
// DFU_RECOVERY_MAX_ROUNDS answers that each need a DFU_CLRSTATUS or DFU_ABORT; the poll
// after a block gives up after DFU_BLOCK_POLL_MAX answers that are neither
// dfuDNLOAD-IDLE nor dfuERROR. All the poll-timeout waits of one DFUDump together never
// exceed DFU_WAIT_BUDGET_MS: a device that asks for a wait beyond what is left is not
// waited for, and the transfer ends.
#define DFU_RECOVERY_MAX_ROUNDS 8
#define DFU_BLOCK_POLL_MAX 500
#define DFU_WAIT_BUDGET_MS 60000

// The number of bytes DFUDump sends of Length bytes offered: when the payload begins with
// the byte 3, at most (n + 1) * 4096 bytes, n being the signed byte at payload offset 4;
// then 16 bytes less when the length is 16 more than a multiple of 1024. May be 0 or
// negative (nothing to send).
INT32 DFUTransferLength(const UINT8 *Payload, INT32 Length);

// Writes the payload to the DFU ROM device: recovers its DFU state, sends the adjusted
// length in blocks of at most 4096 bytes (polling DFU_GETSTATUS after each block), then
// the zero-length DFU_DNLOAD that ends the download. *Accumulator holds the absolute
// percent on entry; Budget percent points are added over the blocks and the final
// request, and each new running sum is told through Progress. TRUE when the whole image
// and the final request were accepted.
BOOLEAN DFUDump(EFI_USB_IO_PROTOCOL *UsbIo, const UINT8 *Payload, INT32 Length, UINT32 *Accumulator,
                INT32 Budget, KV_PROGRESS *Progress);

// ---------------------------------------------------------------- DFU update procedure

#define DFU_ROM_VID 0x3B5A
#define DFU_ROM_PID 0x4C00

// Requests that lead the camera into its DFU ROM device and out again.
#define DFU_ALLOW_UPDATE_REQUEST_TYPE \
  USB_REQUEST_TYPE(EfiUsbDataOut, USB_REQ_TYPE_STANDARD, USB_TARGET_DEVICE)  // 0x00
#define DFU_ALLOW_UPDATE_REQUEST 0x1B
#define DFU_ALLOW_UPDATE_VALUE 1
#define DFU_DETACH_HIDE_REQUEST_TYPE \
  USB_REQUEST_TYPE(EfiUsbDataOut, USB_REQ_TYPE_VENDOR, USB_TARGET_DEVICE)  // 0x40
#define DFU_DETACH_HIDE_REQUEST 0x50
#define DFU_DETACH_TIMEOUT_MS 5000   // wValue of DFU_DETACH to the camera's DFU interface
#define DFU_ROM_DETACH_VALUE 0x5000  // wValue of DFU_DETACH to the ROM device
#define DFU_DETACH_SETTLE_US 100000  // after DFU_DETACH to the camera's DFU interface

// Waits for a device to appear: DFU_WAIT_TRIES looks at the USB handles, each after a
// stall of DFU_WAIT_STALL_US.
#define DFU_WAIT_TRIES 50
#define DFU_WAIT_STALL_US 100000

// Progress of the DFU path, in absolute percent.
#define DFU_PROGRESS_STEP 2       // after the detach, and once the camera is back
#define DFU_PROGRESS_TRANSFER 96  // DFUDump's budget
#define DFU_PROGRESS_TRANSFERRED 98

// Longest length a DFU download takes: DFUDump counts in signed 32 bits.
#define DFU_MAX_TRANSFER_LENGTH 0x7FFFFFFFULL

// The requests of the update procedure, through SendControlRequest; TRUE when it succeeds.
// Each logs its own line on success and on failure.
BOOLEAN DFUAllowUpdateFW_4C15(EFI_USB_IO_PROTOCOL *UsbIo);
BOOLEAN DetachHideDFU_4C15(EFI_USB_IO_PROTOCOL *UsbIo);
BOOLEAN DetachDFU_4C15(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 InterfaceNumber);
BOOLEAN DetachDFURom_4C15(EFI_USB_IO_PROTOCOL *RomUsbIo);

// Waits for the DFU ROM device (PID 0x4C00, VID 0x3B5A or Vid) on the port chain Port; on
// TRUE *RomUsbIo is the USB I/O interface of the last one in handle order. A device on
// another port is not looked at.
BOOLEAN WaitForDFURomDevice(EFI_USB_IO_PROTOCOL **RomUsbIo, UINT16 Vid, const KV_PORT_CHAIN *Port);
// One look at the USB handles for the DFU ROM device by the same rule, on Port or, when Port
// is NULL, on any port, with no wait and no request on the wire (the cached device
// descriptors): a camera whose update was cut short there powers up as that device.
BOOLEAN FindDFURomDevice(EFI_USB_IO_PROTOCOL **RomUsbIo, UINT16 Vid, const KV_PORT_CHAIN *Port);
// Waits for a device with this VID, PID and bcdDevice on the port chain Port.
BOOLEAN WaitForUpdatedCamera(UINT16 Vid, UINT16 Pid, UINT16 Version, const KV_PORT_CHAIN *Port);

// ---------------------------------------------------------------- the in-flight record
// Right before the camera is sent into its DFU ROM device, the procedure writes one
// non-volatile, boot-service-only variable that says which update is under way on which
// port. A power loss from then on may strand the camera as its ROM device, whose VID:PID
// the whole chip family shares: only this record lets the next run tell that the ROM
// device on that port is this camera, waiting for this image. The record is deleted once
// the camera is back on its port as something else than the ROM device (with the new
// identity or, after a failed update, with the old one).

// "KvrDfuInFlight" under {063FCEBE-765E-48BC-B4E2-549BEBD395B0}.
#define DFU_IN_FLIGHT_NAME u"KvrDfuInFlight"
#define DFU_IN_FLIGHT_GUID \
  {0x063FCEBE, 0x765E, 0x48BC, {0xB4, 0xE2, 0x54, 0x9B, 0xEB, 0xD3, 0x95, 0xB0}}
#define DFU_IN_FLIGHT_ATTRIBUTES (EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS)
#define DFU_IN_FLIGHT_SIGNATURE 0x4649564BU  // "KVIF"
#define DFU_IN_FLIGHT_VERSION 1

#pragma pack(push, 1)
struct DFU_IN_FLIGHT_RECORD {
  UINT32 dwSignature;  // DFU_IN_FLIGHT_SIGNATURE
  UINT16 wVersion;     // DFU_IN_FLIGHT_VERSION
  UINT16 wImageVID;    // the image header's IDs: the camera the image is made for
  UINT16 wImagePID;
  UINT16 wFwVID;  // the version block's: the identity the camera comes back with
  UINT16 wFwPID;
  UINT16 wFwVersion;
  UINT32 dwLength;  // bytes the download sends
  UINT32 dwCrc32;   // CRC32 (UEFI 2.10's CalculateCrc32) of those bytes
  KV_PORT_CHAIN Port;
};
#pragma pack(pop)
static_assert(offsetof(DFU_IN_FLIGHT_RECORD, wImageVID) == 6);
static_assert(offsetof(DFU_IN_FLIGHT_RECORD, wFwVID) == 10);
static_assert(offsetof(DFU_IN_FLIGHT_RECORD, dwLength) == 16);
static_assert(offsetof(DFU_IN_FLIGHT_RECORD, dwCrc32) == 20);
static_assert(offsetof(DFU_IN_FLIGHT_RECORD, Port) == 24);
static_assert(sizeof(DFU_IN_FLIGHT_RECORD) == 24 + sizeof(KV_PORT_CHAIN));

// Where the camera of one DFU update is, and which camera the image is made for.
struct DFU_TARGET {
  const KV_PORT_CHAIN *Port;  // the camera's port chain: the only port its waits look at
  UINT16 wImageVID;    // the image header's IDs
  UINT16 wImagePID;
};

// The record of an update of this payload to Target (NULL: port and image IDs not known).
// FALSE for a payload without a version block.
BOOLEAN DFUInFlightRecordOf(const UINT8 *Payload, UINT64 PayloadLength, const DFU_TARGET *Target,
                            DFU_IN_FLIGHT_RECORD *Record);
// The record as the variable holds it; FALSE when there is none, or none of this layout.
BOOLEAN DFUReadInFlightRecord(DFU_IN_FLIGHT_RECORD *Record);
// Writes the record; TRUE when the variable holds it. A store that refuses it (full,
// locked) is logged: the update goes on, but a power loss from here on cannot be resumed.
BOOLEAN DFUWriteInFlightRecord(const DFU_IN_FLIGHT_RECORD *Record);
// At the end of an update that holds the record (RecordHeld): deletes it when the camera is
// back on the record's port (CameraBack, or one more look finds a device there that is not
// the ROM device); keeps it while the port holds the ROM device or nothing.
VOID DFUSettleInFlightRecord(BOOLEAN RecordHeld, BOOLEAN CameraBack,
                             const DFU_IN_FLIGHT_RECORD *Record);
// One look for a device that is not the DFU ROM device (by WaitForDFURomDevice's rule with
// Vid) on Port; silent.
BOOLEAN CameraBackOnPort(UINT16 Vid, const KV_PORT_CHAIN *Port);
// One look for a DFU ROM device (by the same rule) on any port; on TRUE *Rom is the device
// descriptor of the last one in handle order.
BOOLEAN FindOtherRomDevice(UINT16 Vid, EFI_USB_DEVICE_DESCRIPTOR *Rom);

// Run when no table entry matched the image: a ROM device of the chip family (PID 0x4C00,
// VID 0x3B5A or the version block's) may be a camera stranded by a power loss. When the
// in-flight record names this image and a ROM device sits on its port, the update resumes
// there (DFUFwDownload without a camera interface); any other such ROM device is left
// alone, named in the log, and the run's status is EFI_NOT_READY: it may be this camera,
// stranded before any record, and nothing says so. FALSE when no such ROM device is on the
// bus; otherwise TRUE with *Status the run's status.
BOOLEAN DFUResumeInterrupted(const UINT8 *Payload, UINT64 PayloadLength, UINT16 ImageVid,
                             UINT16 ImagePid, TARVEL_PROGRESS_PROTOCOL *Progress,
                             EFI_STATUS *Status);

// Detaches the camera into its DFU ROM device, downloads Payload and waits for the camera
// to come back with the new version, on the camera's port (Target). Mode is the device
// table entry's wMode; InterfaceNumber its DFU interface (mode 1 only); UsbIo NULL resumes
// an update whose in-flight record names Target's port. EFI_INVALID_PARAMETER, with
// nothing sent, for a payload without a version block or too long for a DFU download, or
// a camera whose port is not known; EFI_DEVICE_ERROR when the ROM device does not appear
// or the camera does not come back with the new VID, PID and version.
EFI_STATUS DFUFwDownload(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 Mode, UINT16 InterfaceNumber,
                         const UINT8 *Payload, UINT64 PayloadLength,
                         TARVEL_PROGRESS_PROTOCOL *Progress, const DFU_TARGET *Target);
