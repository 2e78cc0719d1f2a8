// Every DFU request of the driver goes through DFURequest; the DFU 1.1 status requests
// DFU_GETSTATUS, DFU_CLRSTATUS and DFU_ABORT are built on it here.
#include "Dfu.h"
#include "command/Command.h"

BOOLEAN DFURequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 RequestType, UINT8 Request, UINT16 Value,
                   UINT8 InterfaceNumber, VOID *Data, UINT16 Length, UINT32 TimeoutMs,
                   DFU_FAILURE_REPORT Report, const CHAR8 *FailText) {
  if (Report == DfuReportWrapper) {
    // wValue in bits 0-15 of the wrapper's target word, the interface number in bits 24-31.
    const UINT32 Target = (UINT32)Value | ((UINT32)InterfaceNumber << 24);
    if (EFI_ERROR(SendControlRequest(UsbIo, Target, RequestType, Request, Data, Length))) {
      DebugMessage(FailText);
      return FALSE;
    }
    return TRUE;
  }
  UINT32 UsbStatus = EFI_USB_NOERROR;
  const EFI_STATUS Status =
      UsbControlRequest(UsbIo, RequestType, Request, Value,
                        /* wIndex: interface, high byte 0 */ InterfaceNumber, Data, Length,
                        TimeoutMs, &UsbStatus);
  if (!EFI_ERROR(UsbRequestResult(Status, UsbStatus))) {
    return TRUE;
  }
  if (Report == DfuReportStatus) {
    DebugMessage(FailText);
    DebugMessage("UsbIo = %x\r\n", (UINT32)(UINTN)UsbIo);
    LogError("SendControlRequest failed: Status %r, UsbResult 0x%X\n", Status, UsbStatus);
  }
  return FALSE;
}

namespace {

BOOLEAN StatusRequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 RequestType, UINT8 Request,
                      UINT8 InterfaceNumber, VOID *Data, UINT16 Length, const CHAR8 *FailText) {
  return DFURequest(UsbIo, RequestType, Request, /* wValue */ 0, InterfaceNumber, Data, Length,
                    DFU_REQUEST_TIMEOUT_MS, DfuReportStatus, FailText);
}

}  // namespace

BOOLEAN DFUGetStatus(EFI_USB_IO_PROTOCOL *UsbIo, VOID *Destination, UINT16 Length,
                     UINT8 InterfaceNumber) {
  return StatusRequest(UsbIo, DFU_REQUEST_TYPE_IN, DFU_GETSTATUS, InterfaceNumber, Destination,
                       Length, "VendorSetCmd DFU_GETSTATUS fail!!\r\n");
}

BOOLEAN DFUClearStatus(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 InterfaceNumber) {
  return StatusRequest(UsbIo, DFU_REQUEST_TYPE_OUT, DFU_CLRSTATUS, InterfaceNumber, NULL, 0,
                    "VendorSetCmd DFUClearStatus fail!!\r\n");
}

BOOLEAN DFUAbort(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 InterfaceNumber) {
  return StatusRequest(UsbIo, DFU_REQUEST_TYPE_OUT, DFU_ABORT, InterfaceNumber, NULL, 0,
                    "VendorSetCmd DFUAbort fail!!\r\n");
}

UINT32 DFUPollTimeout(const DFUStatus *Status) { return KvrReadU24(Status->bwPollTimeout); }
