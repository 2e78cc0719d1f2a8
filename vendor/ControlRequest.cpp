// Control request wrappers, the extension-unit command channel and the vendor request
// codes.
#include "Vendor.h"

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
    /* VendorReqResetToUpdateFW */ {0x40, 0x01, EfiUsbNoData},
    /* VendorReqWriteMem */ {0x40, 0x24, EfiUsbDataOut},
    /* VendorReqReadMem */ {0xC0, 0x25, EfiUsbDataIn},
    /* VendorReqReadFlash */ {0xC0, 0x2E, EfiUsbDataIn},
    /* VendorReqWriteFlash */ {0x40, 0x2F, EfiUsbDataOut},
    /* VendorReqReadSr */ {0xC0, 0x30, EfiUsbDataIn},
    /* VendorReqWriteSr */ {0x40, 0x31, EfiUsbDataOut},
    /* VendorReqEraseFlash */ {0x40, 0x32, EfiUsbNoData},
    /* VendorReqWriteTag */ {0x40, 0x34, EfiUsbNoData},
};

namespace {

// Most bytes one control transfer carries: wLength is 16 bits.
constexpr UINT32 kMaxControlData = 0xFFFF;

// Runs one class request built from the target word. A request without data goes out as
// EfiUsbNoData with no buffer, whatever direction the caller named: host controllers refuse
// a data stage of zero bytes.
EFI_STATUS ClassRequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 Value, UINT32 Target,
                        EFI_USB_DATA_DIRECTION Direction, UINT8 RequestType, UINT8 Request,
                        VOID *Data, UINT16 Length) {
  EFI_USB_DEVICE_REQUEST DevReq;
  DevReq.RequestType = RequestType;
  DevReq.Request = Request;
  DevReq.Value = Value;
  DevReq.Index = (UINT16)((((Target >> 16) & 0xFF) << 8) | ((Target >> 24) & 0xFF));
  DevReq.Length = Length;
  if (Length == 0) {
    Direction = EfiUsbNoData;
    Data = NULL;
  }

  UINT32 UsbStatus = EFI_USB_NOERROR;
  EFI_STATUS Status = UsbIo->UsbControlTransfer(UsbIo, &DevReq, Direction, KV_CONTROL_TIMEOUT_MS,
                                                Data, Length, &UsbStatus);
  if (UsbStatus != EFI_USB_NOERROR || EFI_ERROR(Status)) {
    LogError(u"SendControlRequest failed: Status %r, UsbResult 0x%X, entityID %d.\n", Status,
             UsbStatus, (INT32)((Target >> 16) & 0xFF));
    if (UsbStatus != EFI_USB_NOERROR) {
      Status = EFI_DEVICE_ERROR;
    }
  }
  return Status;
}

// One command block to selector 10 of the camera unit, with the wrappers' failure line and
// the caller's.
EFI_STATUS SendCommandBlock(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 *Block) {
  EFI_STATUS Status = SendXuControlRequest(UsbIo, KV_XU_TARGET(KV_XU_SELECTOR_COMMAND, XuUnitId),
                                           EfiUsbDataOut, UVC_REQUEST_TYPE_SET_INTERFACE,
                                           UVC_SET_CUR, Block, KV_COMMAND_BLOCK_LENGTH);
  if (EFI_ERROR(Status)) {
    LogError(u"VendorSetCmd fail, Status %r, entity id %d,len %d\n", Status, (INT32)XuUnitId,
             (INT32)KV_COMMAND_BLOCK_LENGTH);
  }
  return Status;
}

}  // namespace

EFI_STATUS SendXuControlRequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT32 Target,
                                EFI_USB_DATA_DIRECTION Direction, UINT8 RequestType, UINT8 Request,
                                VOID *Data, UINT16 Length) {
  return ClassRequest(UsbIo, (UINT16)((Target & 0xFF) << 8), Target, Direction, RequestType,
                      Request, Data, Length);
}

EFI_STATUS SendControlRequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT32 Target,
                              EFI_USB_DATA_DIRECTION Direction, UINT8 RequestType, UINT8 Request,
                              VOID *Data, UINT16 Length) {
  return ClassRequest(UsbIo, (UINT16)(Target & 0xFFFF), Target, Direction, RequestType, Request,
                      Data, Length);
}

EFI_STATUS SendVendorRequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 RequestType, UINT8 Request,
                             UINT16 Value, UINT16 Index, VOID *Data, UINT32 Length,
                             EFI_USB_DATA_DIRECTION Direction) {
  UINT32 UsbStatus = EFI_USB_NOERROR;
  EFI_STATUS Status;
  if (Length > kMaxControlData) {
    // wLength could not say how much is moved: refuse rather than send a setup packet that
    // disagrees with its data stage.
    Status = EFI_INVALID_PARAMETER;
  } else {
    EFI_USB_DEVICE_REQUEST DevReq;
    DevReq.RequestType = RequestType;
    DevReq.Request = Request;
    DevReq.Value = Value;
    DevReq.Index = Index;
    DevReq.Length = (UINT16)Length;
    if (Length == 0) {
      Direction = EfiUsbNoData;
      Data = NULL;
    }
    Status = UsbIo->UsbControlTransfer(UsbIo, &DevReq, Direction, KV_CONTROL_TIMEOUT_MS, Data,
                                       Length, &UsbStatus);
  }
  if (UsbStatus != EFI_USB_NOERROR || EFI_ERROR(Status)) {
    LogError(u"SendVendorRequest failed: Status %r, UsbResult 0x%X.\n", Status, UsbStatus);
    if (UsbStatus != EFI_USB_NOERROR) {
      Status = EFI_DEVICE_ERROR;
    }
  }
  return Status;
}

EFI_STATUS VendorSetCmd(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 *Block) {
  EFI_STATUS Status = SendCommandBlock(UsbIo, Block);
  if (EFI_ERROR(Status) && Block[0] != KV_BLOCK_CLASS_RECOVERY) {
    // One recovery send; its own failure is logged and goes no further.
    (VOID) SendCommandBlock(UsbIo, cmdRecovery);
  }
  return Status;
}

EFI_STATUS VendorGetCmd(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 *Answer) {
  EFI_STATUS Status = SendXuControlRequest(UsbIo, KV_XU_TARGET(KV_XU_SELECTOR_ANSWER, XuUnitId),
                                           EfiUsbDataIn, UVC_REQUEST_TYPE_GET_INTERFACE,
                                           UVC_GET_CUR, Answer, KV_COMMAND_BLOCK_LENGTH);
  if (EFI_ERROR(Status)) {
    LogError(u"VendorGetCmd fail, Status %r\n", Status);
  }
  return Status;
}
