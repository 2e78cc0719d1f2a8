// Control request wrappers, the extension-unit command channel and the vendor request
// codes.
#include "Command.h"

UINT8 XuUnitId = KV_XU_UNIT_ID_DEFAULT;

UINT8 cmdResetToDLFW[KV_COMMAND_BLOCK_LENGTH] = {
    KV_BLOCK_CLASS_COMMAND, KV_CMD_RESET_TO_DLFW, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
UINT8 cmdGetInfo[KV_COMMAND_BLOCK_LENGTH] = {
    KV_BLOCK_CLASS_COMMAND, KV_CMD_GET_INFO, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00};
UINT8 cmdRecovery[KV_COMMAND_BLOCK_LENGTH] = {
    KV_BLOCK_CLASS_RECOVERY, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
UINT8 cmdGetDevQualify[KV_COMMAND_BLOCK_LENGTH] = {
    KV_BLOCK_CLASS_COMMAND, KV_CMD_GET_DEV_QUALIFY, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00};

const VENDOR_REQUEST_CODE VendorRequestCodes[VendorReqCount] = {
    /* VendorReqResetToUpdateFW */ {KV_VENDOR_REQUEST_OUT, 0x01, u"ResetToUpdateFW"},
    /* VendorReqWriteMem */ {KV_VENDOR_REQUEST_OUT, 0x24, u"WriteMem"},
    /* VendorReqReadMem */ {KV_VENDOR_REQUEST_IN, 0x25, u"ReadMem"},
    /* VendorReqReadFlash */ {KV_VENDOR_REQUEST_IN, 0x2E, u"ReadFlash"},
    /* VendorReqWriteFlash */ {KV_VENDOR_REQUEST_OUT, 0x2F, u"WriteFlash"},
    /* VendorReqReadSr */ {KV_VENDOR_REQUEST_IN, 0x30, u"ReadSr"},
    /* VendorReqWriteSr */ {KV_VENDOR_REQUEST_OUT, 0x31, u"WritsSr"},  // as the line has it
    /* VendorReqEraseFlash */ {KV_VENDOR_REQUEST_OUT, 0x32, u"EraseFlash"},
    /* VendorReqWriteTag */ {KV_VENDOR_REQUEST_OUT, 0x34, u"WriteTag"},
};

namespace {

// Most bytes one control transfer carries: wLength is 16 bits.
constexpr UINT32 kMaxControlData = 0xFFFF;

// Runs one class request built from the target word.
EFI_STATUS ClassRequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 Value, UINT32 Target,
                        UINT8 RequestType, UINT8 Request, VOID *Data, UINT16 Length) {
  UINT32 UsbStatus = EFI_USB_NOERROR;
  const EFI_STATUS Status = UsbControlRequest(
      UsbIo, RequestType, Request, Value,
      /* wIndex */ (UINT16)((((Target >> 16) & 0xFF) << 8) | ((Target >> 24) & 0xFF)), Data,
      Length, KV_CONTROL_TIMEOUT_MS, &UsbStatus);
  const EFI_STATUS Result = UsbRequestResult(Status, UsbStatus);
  if (EFI_ERROR(Result)) {
    LogError("SendControlRequest failed: Status %r, UsbResult 0x%X, entityID %d.\n", Status,
             UsbStatus, (INT32)((Target >> 16) & 0xFF));
  }
  return Result;
}

// One command block with VendorSetCmd's failure line after the wrapper's.
EFI_STATUS SetCmdOnce(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 *Block) {
  EFI_STATUS Status = SendCommandBlock(UsbIo, Block);
  if (EFI_ERROR(Status)) {
    LogError("VendorSetCmd fail, Status %r, entity id %d,len %d\n", Status, (INT32)XuUnitId,
             (INT32)KV_COMMAND_BLOCK_LENGTH);
  }
  return Status;
}

}  // namespace

EFI_STATUS SendXuControlRequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT32 Target, UINT8 RequestType,
                                UINT8 Request, VOID *Data, UINT16 Length) {
  return ClassRequest(UsbIo, (UINT16)((Target & 0xFF) << 8), Target, RequestType, Request, Data,
                      Length);
}

EFI_STATUS SendControlRequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT32 Target, UINT8 RequestType,
                              UINT8 Request, VOID *Data, UINT16 Length) {
  return ClassRequest(UsbIo, (UINT16)(Target & 0xFFFF), Target, RequestType, Request, Data,
                      Length);
}

EFI_STATUS SendVendorRequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 RequestType, UINT8 Request,
                             UINT16 Value, UINT16 Index, VOID *Data, UINT32 Length) {
  UINT32 UsbStatus = EFI_USB_NOERROR;
  // A longer data stage could not be told in wLength: refused rather than sent with a setup
  // packet that disagrees with it.
  const EFI_STATUS Status =
      Length > kMaxControlData
          ? EFI_INVALID_PARAMETER
          : UsbControlRequest(UsbIo, RequestType, Request, Value, Index, Data, (UINT16)Length,
                              KV_CONTROL_TIMEOUT_MS, &UsbStatus);
  const EFI_STATUS Result = UsbRequestResult(Status, UsbStatus);
  if (EFI_ERROR(Result)) {
    LogError("SendVendorRequest failed: Status %r, UsbResult 0x%X.\n", Status, UsbStatus);
  }
  return Result;
}

BOOLEAN SendVendorCommand(EFI_USB_IO_PROTOCOL *UsbIo, VENDOR_REQUEST_ID Id, UINT16 Value,
                          UINT16 Index, VOID *Data, UINT32 Length) {
  const VENDOR_REQUEST_CODE &Code = VendorRequestCodes[Id];
  EFI_STATUS Status =
      SendVendorRequest(UsbIo, Code.RequestType, Code.Request, Value, Index, Data, Length);
  if (EFI_ERROR(Status)) {
    LogError("SendVendorRequest %s fail %r\n", Code.Name, Status);
    return FALSE;
  }
  return TRUE;
}

EFI_STATUS SendCommandBlock(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 *Block) {
  return SendXuControlRequest(UsbIo, KV_XU_TARGET(KV_XU_SELECTOR_COMMAND, XuUnitId),
                              UVC_REQUEST_TYPE_SET_INTERFACE, UVC_SET_CUR, Block,
                              KV_COMMAND_BLOCK_LENGTH);
}

EFI_STATUS ReadCommandAnswer(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 *Answer) {
  return SendXuControlRequest(UsbIo, KV_XU_TARGET(KV_XU_SELECTOR_ANSWER, XuUnitId),
                              UVC_REQUEST_TYPE_GET_INTERFACE, UVC_GET_CUR, Answer,
                              KV_COMMAND_BLOCK_LENGTH);
}

EFI_STATUS VendorSetCmd(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 *Block) {
  EFI_STATUS Status = SetCmdOnce(UsbIo, Block);
  if (EFI_ERROR(Status) && Block[0] != KV_BLOCK_CLASS_RECOVERY && KvrUsbPresent(UsbIo)) {
    // One recovery send; its own failure is logged and goes no further.
    (VOID) SetCmdOnce(UsbIo, cmdRecovery);
  }
  return Status;
}

EFI_STATUS VendorGetCmd(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 *Answer) {
  EFI_STATUS Status = ReadCommandAnswer(UsbIo, Answer);
  if (EFI_ERROR(Status)) {
    LogError("VendorGetCmd fail, Status %r\n", Status);
  }
  return Status;
}
