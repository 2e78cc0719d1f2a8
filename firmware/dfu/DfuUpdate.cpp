// The DFU update procedure: the allow-update and detach requests, the waits for the DFU ROM
// device and for the updated camera, and DFUFwDownload that ties them together.
#include "Dfu.h"
#include "driver/PrivateData.h"
#include "command/Command.h"

namespace {

// A request without data stage as the wrapper sends it, FailText logged on failure.
BOOLEAN SendNoDataRequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 RequestType, UINT8 Request,
                          UINT16 Value, UINT8 InterfaceNumber, const CHAR8 *FailText) {
  return DFURequest(UsbIo, RequestType, Request, Value, InterfaceNumber, NULL, 0,
                    KV_CONTROL_TIMEOUT_MS, DfuReportWrapper, FailText);
}

// A request's result, with its OkText logged when it succeeded.
BOOLEAN LogWhenOk(BOOLEAN Ok, const CHAR8 *OkText) {
  if (Ok) {
    DebugMessage(OkText);
  }
  return Ok;
}

// The identity a look takes: the ROM device by its rule, or the camera with the new
// firmware.
struct DEVICE_IDS {
  UINT16 Vid;
  UINT16 Pid;
  UINT16 Version;
};

BOOLEAN IsRomDevice(const EFI_USB_DEVICE_DESCRIPTOR *DeviceDesc, UINT16 Vid) {
  return DeviceDesc->IdProduct == DFU_ROM_PID &&
         (DeviceDesc->IdVendor == DFU_ROM_VID || DeviceDesc->IdVendor == Vid);
}

// PID 0x4C00 with VID 0x3B5A or the version block's, with its line.
BOOLEAN AcceptRomDevice(const EFI_USB_DEVICE_DESCRIPTOR *Device, const VOID *Context) {
  if (!IsRomDevice(Device, ((const DEVICE_IDS *)Context)->Vid)) {
    return FALSE;
  }
  DebugMessage("Find DFU VID/PID = 3B5A/4C00\r\n");
  return TRUE;
}

// Any device but the ROM device, silently.
BOOLEAN AcceptNotRom(const EFI_USB_DEVICE_DESCRIPTOR *Device, const VOID *Context) {
  return !IsRomDevice(Device, ((const DEVICE_IDS *)Context)->Vid);
}

// The VID, PID and version (as bcdDevice) the camera comes back with.
BOOLEAN AcceptCamera(const EFI_USB_DEVICE_DESCRIPTOR *Device, const VOID *Context) {
  const DEVICE_IDS *Ids = (const DEVICE_IDS *)Context;
  return Device->IdVendor == Ids->Vid && Device->IdProduct == Ids->Pid &&
                 Device->BcdDevice == Ids->Version
             ? TRUE
             : FALSE;
}

}  // namespace

// ---------------------------------------------------------------- requests

BOOLEAN DFUAllowUpdateFW_4C15(EFI_USB_IO_PROTOCOL *UsbIo) {
  return LogWhenOk(SendNoDataRequest(UsbIo, DFU_ALLOW_UPDATE_REQUEST_TYPE, DFU_ALLOW_UPDATE_REQUEST,
                                     /* wValue */ DFU_ALLOW_UPDATE_VALUE, /* interface */ 0,
                                     "VendorSetCmd DFUAllowUpdateFW_4C15 fail!!\r\n"),
                   "DFUAllowUpdateFW_4C15 OK\r\n");
}

BOOLEAN DetachHideDFU_4C15(EFI_USB_IO_PROTOCOL *UsbIo) {
  return LogWhenOk(SendNoDataRequest(UsbIo, DFU_DETACH_HIDE_REQUEST_TYPE, DFU_DETACH_HIDE_REQUEST,
                                     /* wValue */ 0, /* interface */ 0,
                                     "VendorSetCmd DetachHideDFU_4C15 fail!!\r\n"),
                   "DetachHideDFU_4C15 OK\r\n");
}

BOOLEAN DetachDFU_4C15(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 InterfaceNumber) {
  return LogWhenOk(SendNoDataRequest(UsbIo, DFU_REQUEST_TYPE_OUT, DFU_DETACH,
                                     /* wValue */ DFU_DETACH_TIMEOUT_MS,
                                     /* interface */ (UINT8)InterfaceNumber,
                                     "VendorSetCmd DetachDFU_4C15 fail!!\r\n"),
                   "VendorSetCmd DetachDFU_4C15 OK!!\r\n");
}

BOOLEAN DetachDFURom_4C15(EFI_USB_IO_PROTOCOL *RomUsbIo) {
  return SendNoDataRequest(RomUsbIo, DFU_REQUEST_TYPE_OUT, DFU_DETACH,
                           /* wValue */ DFU_ROM_DETACH_VALUE, /* interface */ DFU_ROM_INTERFACE,
                           "VendorSetCmd DetachDFU_4C15 fail!!\r\n");
}

// ---------------------------------------------------------------- waits and progress

BOOLEAN WaitForDFURomDevice(EFI_USB_IO_PROTOCOL **RomUsbIo, UINT16 Vid, const KV_PORT_CHAIN *Port) {
  const DEVICE_IDS Ids = {Vid, 0, 0};
  return KvrUsbWait(Port, AcceptRomDevice, &Ids, DFU_WAIT_TRIES, DFU_WAIT_STALL_US, RomUsbIo);
}

BOOLEAN FindDFURomDevice(EFI_USB_IO_PROTOCOL **RomUsbIo, UINT16 Vid, const KV_PORT_CHAIN *Port) {
  const DEVICE_IDS Ids = {Vid, 0, 0};
  return KvrUsbLook(Port, AcceptRomDevice, &Ids, TRUE, RomUsbIo, NULL);
}

BOOLEAN FindOtherRomDevice(UINT16 Vid, EFI_USB_DEVICE_DESCRIPTOR *Rom) {
  const DEVICE_IDS Ids = {Vid, 0, 0};
  return KvrUsbLook(NULL, AcceptRomDevice, &Ids, TRUE, NULL, Rom);
}

BOOLEAN WaitForUpdatedCamera(UINT16 Vid, UINT16 Pid, UINT16 Version, const KV_PORT_CHAIN *Port) {
  const DEVICE_IDS Ids = {Vid, Pid, Version};
  return KvrUsbWait(Port, AcceptCamera, &Ids, DFU_WAIT_TRIES, DFU_WAIT_STALL_US, NULL);
}

BOOLEAN CameraBackOnPort(UINT16 Vid, const KV_PORT_CHAIN *Port) {
  const DEVICE_IDS Ids = {Vid, 0, 0};
  return KvrUsbLook(Port, AcceptNotRom, &Ids, FALSE, NULL, NULL);
}

// ---------------------------------------------------------------- the procedure

namespace {

// Tells the camera to allow the update, writes the in-flight record and detaches the camera
// into its DFU ROM device (DFU_DETACH to its DFU interface in mode 1, then the settle time;
// the vendor detach otherwise). TRUE when the record was written. The requests' results are
// not judged: whether the camera went shows in whether its ROM device comes.
BOOLEAN SendIntoRomDevice(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 Mode, UINT16 InterfaceNumber,
                          const DFU_IN_FLIGHT_RECORD *Record) {
  DebugMessage("USBIO = %x\r\n", (UINT32)(UINTN)UsbIo);
  if (!DFUAllowUpdateFW_4C15(UsbIo) && !KvrUsbPresent(UsbIo)) {
    return FALSE;  // nothing more to send: whether it comes back as its ROM device shows later
  }
  const BOOLEAN Written = DFUWriteInFlightRecord(Record);
  if (Mode == UPDATE_MODE_DFU) {
    (VOID) DetachDFU_4C15(UsbIo, InterfaceNumber);
    BootServices->Stall(DFU_DETACH_SETTLE_US);
  } else {
    (VOID) DetachHideDFU_4C15(UsbIo);
  }
  return Written;
}

}  // namespace

EFI_STATUS DFUFwDownload(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 Mode, UINT16 InterfaceNumber,
                         const UINT8 *Payload, UINT64 PayloadLength,
                         TARVEL_PROGRESS_PROTOCOL *Protocol, const DFU_TARGET *Target) {
  DebugMessage("DFUFwDownload() =>\r\n");
  EFI_USB_IO_PROTOCOL *RomUsbIo = NULL;
  KV_PROGRESS Progress = {Protocol, 0};
  UINT32 Accumulator = 0;

  const UINT64 Length = DFUImageLength(PayloadLength);
  if (Length > DFU_MAX_TRANSFER_LENGTH) {
    // The download counts its bytes in 32 signed bits: such an image cannot be sent whole.
    DebugMessage("Image size %lu is too large for a DFU download\r\n", Length);
    return EFI_INVALID_PARAMETER;
  }
  DebugMessage("Image size is OK\r\n");

  DFU_IN_FLIGHT_RECORD Record;
  if (!DFUInFlightRecordOf(Payload, PayloadLength, Target, &Record)) {
    DebugMessage("Failed to get FW version.\nFW file missed some patch.\r\n");
    return EFI_INVALID_PARAMETER;
  }
  DebugMessage("Prepare to write FW. The new FW : VID = %x, PID = %x, FWVersion = %x\r\n",
               (UINT32)Record.wFwVID, (UINT32)Record.wFwPID, (UINT32)Record.wFwVersion);
  // The waits accept only a device on the camera's port: without it any camera of the chip
  // family could be taken for this one.
  const KV_PORT_CHAIN *Port = &Record.Port;
  if (Port->Length == 0) {
    DebugMessage("The camera's USB port is not known: no DFU update\r\n");
    return EFI_INVALID_PARAMETER;
  }

  // A resume works on the record that brought it here; otherwise the record exists only
  // once this run has written it.
  const BOOLEAN RecordHeld =
      UsbIo == NULL ? TRUE : SendIntoRomDevice(UsbIo, Mode, InterfaceNumber, &Record);
  Accumulator += DFU_PROGRESS_STEP;
  KvrProgress(&Progress, (INT32)Accumulator);

  if (!WaitForDFURomDevice(&RomUsbIo, Record.wFwVID, Port)) {
    DebugMessage("Reset and can't find DFU ROM device\r\n");
    DFUSettleInFlightRecord(RecordHeld, FALSE, &Record);
    return EFI_DEVICE_ERROR;
  }

  const BOOLEAN Transferred = DFUDump(RomUsbIo, Payload, (INT32)Length, &Accumulator,
                                      DFU_PROGRESS_TRANSFER, &Progress);
  KvrProgress(&Progress, DFU_PROGRESS_TRANSFERRED);
  // Even after a failed transfer the ROM device is told to leave and the camera is awaited,
  // so that the camera is not left as its ROM device. Whatever identity it comes back with,
  // it cannot hold the whole image then: the update has failed. A ROM device that has left
  // the bus (power lost) is not there to be told.
  if (Transferred || KvrUsbPresent(RomUsbIo)) {
    (VOID) DetachDFURom_4C15(RomUsbIo);
  }
  const BOOLEAN CameraBack =
      WaitForUpdatedCamera(Record.wFwVID, Record.wFwPID, Record.wFwVersion, Port);
  DFUSettleInFlightRecord(RecordHeld, CameraBack, &Record);
  if (!Transferred) {
    DebugMessage("DFU download failed, update not complete\r\n");
  } else if (CameraBack) {
    // The accumulator and 2 (100 for a whole download), then 100: done.
    KvrProgress(&Progress, (INT32)(Accumulator + DFU_PROGRESS_STEP), TRUE);
    KvrProgress(&Progress, KV_PROGRESS_MAX, TRUE);
    DebugMessage("DFUFwDownload OK() <=\r\n");
    return EFI_SUCCESS;
  }
  DebugMessage("DFUFwDownload() <=\r\n");
  return EFI_DEVICE_ERROR;
}
