// Memory, flash and status-register commands: one vendor request each, with the request
// pair from VendorRequestCodes.
#include "Vendor.h"

namespace {

// One vendor request of the table; logs nothing of its own beyond the wrapper's line.
EFI_STATUS SendCode(EFI_USB_IO_PROTOCOL *UsbIo, VENDOR_REQUEST_ID Id, UINT16 Value, UINT16 Index,
                    VOID *Data, UINT32 Length) {
  const VENDOR_REQUEST_CODE &Code = VendorRequestCodes[Id];
  return SendVendorRequest(UsbIo, Code.RequestType, Code.Request, Value, Index, Data, Length,
                           Code.Direction);
}

// The data stage of an OUT request is only read; the USB I/O protocol takes it as VOID *.
VOID *OutData(const VOID *Data) { return const_cast<VOID *>(Data); }

}  // namespace

BOOLEAN ReadMem(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 Address, UINT32 Length, VOID *Data) {
  EFI_STATUS Status = SendCode(UsbIo, VendorReqReadMem, /* wValue */ 0, /* wIndex */ Address,
                               Data, Length);
  if (EFI_ERROR(Status)) {
    LogError(u"SendVendorRequest ReadMem fail %r\n", Status);
    return FALSE;
  }
  return TRUE;
}

BOOLEAN WriteMem(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 Address, UINT32 Length, const VOID *Data) {
  EFI_STATUS Status = SendCode(UsbIo, VendorReqWriteMem, /* wValue */ 0, /* wIndex */ Address,
                               OutData(Data), Length);
  if (EFI_ERROR(Status)) {
    LogError(u"SendVendorRequest WriteMem fail %r\n", Status);
    return FALSE;
  }
  return TRUE;
}

BOOLEAN ReadSr(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 *Value) {
  // Preset to all bits set: an answer that leaves the byte out reads as a busy flash, never
  // as an idle one.
  UINT8 Sr = 0xFF;
  EFI_STATUS Status = SendCode(UsbIo, VendorReqReadSr, /* wValue */ 0, /* wIndex */ 0, &Sr, 1);
  if (EFI_ERROR(Status)) {
    LogError(u"SendVendorRequest ReadSr fail %r\n", Status);
    return FALSE;
  }
  *Value = Sr;
  return TRUE;
}

BOOLEAN WriteSr(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 Value) {
  UINT8 Sr = Value;
  EFI_STATUS Status = SendCode(UsbIo, VendorReqWriteSr, /* wValue */ 0, /* wIndex */ 0, &Sr, 1);
  if (EFI_ERROR(Status)) {
    LogError(u"SendVendorRequest WritsSr fail %r\n", Status);
    return FALSE;
  }
  return TRUE;
}

BOOLEAN EraseFlash(EFI_USB_IO_PROTOCOL *UsbIo) {
  EFI_STATUS Status = SendCode(UsbIo, VendorReqEraseFlash, /* wValue */ 0, /* wIndex */ 0, NULL, 0);
  if (EFI_ERROR(Status)) {
    LogError(u"SendVendorRequest EraseFlash fail %r\n", Status);
    return FALSE;
  }
  return TRUE;
}

BOOLEAN ReadFlash(EFI_USB_IO_PROTOCOL *UsbIo, UINT32 Address, UINT32 Length, VOID *Data) {
  EFI_STATUS Status =
      SendCode(UsbIo, VendorReqReadFlash, /* wValue */ KV_FLASH_ADDRESS_VALUE(Address),
               /* wIndex */ KV_FLASH_ADDRESS_INDEX(Address), Data, Length);
  if (EFI_ERROR(Status)) {
    LogError(u"SendVendorRequest ReadFlash fail %r\n", Status);
    return FALSE;
  }
  return TRUE;
}

BOOLEAN WriteFlash(EFI_USB_IO_PROTOCOL *UsbIo, UINT32 Address, UINT32 Length, const VOID *Data) {
  const UINT16 Value = KV_FLASH_ADDRESS_VALUE(Address);
  EFI_STATUS Status = SendCode(UsbIo, VendorReqWriteFlash, /* wValue */ Value,
                               /* wIndex */ KV_FLASH_ADDRESS_INDEX(Address), OutData(Data), Length);
  if (EFI_ERROR(Status)) {
    DebugVerbose("WrtieFlash dwAddr=0x%06X uLen=0x%06X, wValue=0x%06X\r\n", Address, Length,
                 (UINT32)Value);
    LogError(u"SendVendorRequest WriteFlash fail %r\n", Status);
    return FALSE;
  }
  return TRUE;
}

BOOLEAN WriteTag(EFI_USB_IO_PROTOCOL *UsbIo) {
  EFI_STATUS Status = SendCode(UsbIo, VendorReqWriteTag, /* wValue */ 0, /* wIndex */ 0, NULL, 0);
  if (EFI_ERROR(Status)) {
    LogError(u"SendVendorRequest WriteTag fail %r\n", Status);
    return FALSE;
  }
  return TRUE;
}
