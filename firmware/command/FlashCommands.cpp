// Memory, flash and status-register commands: one vendor request each, with the request
// pair and the failure line from VendorRequestCodes.
#include "Command.h"

namespace {

// The data stage of an OUT request is only read; the USB I/O protocol takes it as VOID *.
VOID *OutData(const VOID *Data) { return const_cast<VOID *>(Data); }

}  // namespace

BOOLEAN ReadMem(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 Address, UINT32 Length, VOID *Data) {
  return SendVendorCommand(UsbIo, VendorReqReadMem, /* wValue */ 0, /* wIndex */ Address, Data,
                           Length);
}

BOOLEAN WriteMem(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 Address, UINT32 Length, const VOID *Data) {
  return SendVendorCommand(UsbIo, VendorReqWriteMem, /* wValue */ 0, /* wIndex */ Address,
                           OutData(Data), Length);
}

BOOLEAN ReadSr(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 *Value) {
  // Preset to all bits set: an answer that leaves the byte out reads as a busy flash, never
  // as an idle one.
  UINT8 Sr = 0xFF;
  if (!SendVendorCommand(UsbIo, VendorReqReadSr, /* wValue */ 0, /* wIndex */ 0, &Sr, 1)) {
    return FALSE;
  }
  *Value = Sr;
  return TRUE;
}

BOOLEAN WriteSr(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 Value) {
  UINT8 Sr = Value;
  return SendVendorCommand(UsbIo, VendorReqWriteSr, /* wValue */ 0, /* wIndex */ 0, &Sr, 1);
}

BOOLEAN EraseFlash(EFI_USB_IO_PROTOCOL *UsbIo) {
  return SendVendorCommand(UsbIo, VendorReqEraseFlash, /* wValue */ 0, /* wIndex */ 0, NULL, 0);
}

BOOLEAN ReadFlash(EFI_USB_IO_PROTOCOL *UsbIo, UINT32 Address, UINT32 Length, VOID *Data) {
  return SendVendorCommand(UsbIo, VendorReqReadFlash,
                           /* wValue */ KV_FLASH_ADDRESS_VALUE(Address),
                           /* wIndex */ KV_FLASH_ADDRESS_INDEX(Address), Data, Length);
}

BOOLEAN WriteFlash(EFI_USB_IO_PROTOCOL *UsbIo, UINT32 Address, UINT32 Length, const VOID *Data) {
  const UINT16 Value = KV_FLASH_ADDRESS_VALUE(Address);
  if (!SendVendorCommand(UsbIo, VendorReqWriteFlash, /* wValue */ Value,
                         /* wIndex */ KV_FLASH_ADDRESS_INDEX(Address), OutData(Data), Length)) {
    DebugVerbose("WrtieFlash dwAddr=0x%06X uLen=0x%06X, wValue=0x%06X\r\n", Address, Length,
                 (UINT32)Value);
    return FALSE;
  }
  return TRUE;
}

BOOLEAN WriteTag(EFI_USB_IO_PROTOCOL *UsbIo) {
  return SendVendorCommand(UsbIo, VendorReqWriteTag, /* wValue */ 0, /* wIndex */ 0, NULL, 0);
}
