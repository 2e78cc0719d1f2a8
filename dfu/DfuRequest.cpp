// The DFU 1.1 status requests: DFU_GETSTATUS, DFU_CLRSTATUS and DFU_ABORT, each one control
// transfer straight through the USB I/O protocol.
#include "Dfu.h"

namespace {

// One DFU class request. A request without data goes out as EfiUsbNoData with no buffer.
// On failure: the caller's line, the interface pointer and the transfer's result.
BOOLEAN DfuRequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 RequestType, UINT8 Request,
                   UINT8 InterfaceNumber, VOID *Data, UINT16 Length, const CHAR8 *FailText) {
  EFI_USB_DEVICE_REQUEST DevReq;
  DevReq.RequestType = RequestType;
  DevReq.Request = Request;
  DevReq.Value = 0;
  DevReq.Index = InterfaceNumber; /* wIndex: interface, high byte 0 */
  DevReq.Length = Length;

  UINT32 UsbStatus = EFI_USB_NOERROR;
  EFI_STATUS Status;
  if (Length != 0 && Data == NULL) {
    Status = EFI_INVALID_PARAMETER;  // no buffer for the data stage: nothing is sent
  } else {
    const EFI_USB_DATA_DIRECTION Direction =
        Length == 0 ? EfiUsbNoData : ((RequestType & 0x80) != 0 ? EfiUsbDataIn : EfiUsbDataOut);
    Status = UsbIo->UsbControlTransfer(UsbIo, &DevReq, Direction, DFU_REQUEST_TIMEOUT_MS,
                                       Length == 0 ? NULL : Data, Length, &UsbStatus);
  }
  if (!EFI_ERROR(Status) && UsbStatus == EFI_USB_NOERROR) {
    return TRUE;
  }
  DebugMessage(FailText);
  DebugMessage("UsbIo = %x\r\n", (UINT32)(UINTN)UsbIo);
  LogError(u"SendControlRequest failed: Status %r, UsbResult 0x%X\n", Status, UsbStatus);
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

UINT32 DFUPollTimeout(const DFUStatus *Status) {
  return (UINT32)Status->bwPollTimeout[0] | ((UINT32)Status->bwPollTimeout[1] << 8) |
         ((UINT32)Status->bwPollTimeout[2] << 16);
}
