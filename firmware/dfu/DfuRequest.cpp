// The DFU 1.1 status requests: DFU_GETSTATUS, DFU_CLRSTATUS and DFU_ABORT, each one control
// transfer.
#include "Dfu.h"
#include "command/Command.h"

namespace {

// One DFU class request to the interface. On failure: the caller's line, the interface
// pointer and the transfer's result.
BOOLEAN DfuRequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 RequestType, UINT8 Request,
                   UINT8 InterfaceNumber, VOID *Data, UINT16 Length, const CHAR8 *FailText) {
  UINT32 UsbStatus = EFI_USB_NOERROR;
  const EFI_STATUS Status = UsbControlRequest(UsbIo, RequestType, Request, /* wValue */ 0,
                                              /* wIndex: interface, high byte 0 */ InterfaceNumber,
                                              Data, Length, DFU_REQUEST_TIMEOUT_MS, &UsbStatus);
  if (!EFI_ERROR(UsbRequestResult(Status, UsbStatus))) {
    return TRUE;
  }
  DebugMessage(FailText);
  DebugMessage("UsbIo = %x\r\n", (UINT32)(UINTN)UsbIo);
  LogError("SendControlRequest failed: Status %r, UsbResult 0x%X\n", Status, UsbStatus);
  return FALSE;
}

}  // namespace

BOOLEAN DFUGetStatus(EFI_USB_IO_PROTOCOL *UsbIo, VOID *Destination, UINT16 Length,
                     UINT8 InterfaceNumber) {
  return DfuRequest(UsbIo, DFU_REQUEST_TYPE_IN, DFU_GETSTATUS, InterfaceNumber, Destination, Length,
                    "VendorSetCmd DFU_GETSTATUS fail!!\r\n");
}

BOOLEAN DFUClearStatus(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 InterfaceNumber) {
  return DfuRequest(UsbIo, DFU_REQUEST_TYPE_OUT, DFU_CLRSTATUS, InterfaceNumber, NULL, 0,
                    "VendorSetCmd DFUClearStatus fail!!\r\n");
}

BOOLEAN DFUAbort(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 InterfaceNumber) {
  return DfuRequest(UsbIo, DFU_REQUEST_TYPE_OUT, DFU_ABORT, InterfaceNumber, NULL, 0,
                    "VendorSetCmd DFUAbort fail!!\r\n");
}

UINT32 DFUPollTimeout(const DFUStatus *Status) { return KvrReadU24(Status->bwPollTimeout); }
