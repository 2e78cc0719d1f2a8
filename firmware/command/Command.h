// Vendor command channel of the camera: the control request wrappers, the extension-unit
// command blocks, the vendor request codes and the camera operations built on them.
//
// The camera has two channels. The command channel is its UVC 1.5 extension unit: the host
// writes an 8-byte command block to control selector 10 (SET_CUR) and reads the 8-byte
// answer from control selector 11 (GET_CUR). The second channel is vendor control requests
// to the device (bmRequestType 0x40 out, 0xC0 in) whose bRequest names the operation.
// Every request goes out through UsbControlRequest, the USB layer's primitive.
#pragma once

#include "usb/Usb.h"

// ---------------------------------------------------------------- request wrappers

// Timeout of every request the wrappers send, in milliseconds.
#define KV_CONTROL_TIMEOUT_MS 5000

// UVC 1.5 class-specific requests and the camera unit's control selectors.
#define UVC_SET_CUR 0x01
#define UVC_GET_CUR 0x81
#define UVC_REQUEST_TYPE_SET_INTERFACE USB_REQ_CLASS_INTERFACE_OUT
#define UVC_REQUEST_TYPE_GET_INTERFACE USB_REQ_CLASS_INTERFACE_IN
// The vendor requests to the device.
#define KV_VENDOR_REQUEST_OUT \
  USB_REQUEST_TYPE(EfiUsbDataOut, USB_REQ_TYPE_VENDOR, USB_TARGET_DEVICE)  // 0x40
#define KV_VENDOR_REQUEST_IN \
  USB_REQUEST_TYPE(EfiUsbDataIn, USB_REQ_TYPE_VENDOR, USB_TARGET_DEVICE)  // 0xC0
#define KV_XU_SELECTOR_COMMAND 10            // SET_CUR: an 8-byte command block
#define KV_XU_SELECTOR_ANSWER 11             // GET_CUR: the 8-byte answer

// Length of a command block and of an answer.
#define KV_COMMAND_BLOCK_LENGTH 8

// Request target word of SendXuControlRequest and SendControlRequest:
//   bits 0-7   control selector (XU form: becomes the high byte of wValue)
//              or low byte of wValue (raw form)
//   bits 8-15  ignored (XU form) or high byte of wValue (raw form)
//   bits 16-23 entity ID: the high byte of wIndex
//   bits 24-31 interface number: the low byte of wIndex
#define KV_XU_TARGET(Selector, EntityId) \
  ((UINT32)(UINT8)(Selector) | ((UINT32)(UINT8)(EntityId) << 16))

// The UVC extension unit the command channel talks to, on interface 0. Starts at 4; the
// probe stores the unit ID it finds in the camera's configuration.
extern UINT8 XuUnitId;
#define KV_XU_UNIT_ID_DEFAULT 4

// Class request to a UVC extension-unit control: wValue = selector << 8,
// wIndex = entity << 8 | interface. Sent by UsbControlRequest; a failure logs the
// wrapper's line, and a USB status makes it EFI_DEVICE_ERROR.
EFI_STATUS SendXuControlRequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT32 Target, UINT8 RequestType,
                                UINT8 Request, VOID *Data, UINT16 Length);
// As SendXuControlRequest, with wValue taken whole from bits 0-15 of Target.
EFI_STATUS SendControlRequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT32 Target, UINT8 RequestType,
                              UINT8 Request, VOID *Data, UINT16 Length);
// Vendor request to the device with explicit wValue and wIndex, failing as the two above
// with a line of its own. Length is the data stage's byte count; a control transfer
// carries at most 65535 bytes, a longer one is refused unsent (EFI_INVALID_PARAMETER).
EFI_STATUS SendVendorRequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 RequestType, UINT8 Request,
                             UINT16 Value, UINT16 Index, VOID *Data, UINT32 Length);

// ---------------------------------------------------------------- command channel

// Command block layout:
//   byte 0    block class: 0x00 ordinary command, 0xFF recovery block
//   byte 1    command code
//   bytes 2-3 read index, little-endian (information read only)
//   bytes 4-5 read length in bytes, little-endian
//   bytes 6-7 0
#define KV_BLOCK_CLASS_COMMAND 0x00
#define KV_BLOCK_CLASS_RECOVERY 0xFF
#define KV_CMD_RESET_TO_DLFW 0x09
#define KV_CMD_GET_INFO 0xCD
#define KV_CMD_GET_DEV_QUALIFY 0xD0

// Restart into the newly written code.
extern UINT8 cmdResetToDLFW[KV_COMMAND_BLOCK_LENGTH];
// Select one 8-byte piece of the device information for the next GET_CUR; bytes 2-5 are
// rewritten before every use.
extern UINT8 cmdGetInfo[KV_COMMAND_BLOCK_LENGTH];
// Sent after a failed command exchange, never as a command of its own.
extern UINT8 cmdRecovery[KV_COMMAND_BLOCK_LENGTH];
// Ask for the 8-byte identification answer.
extern UINT8 cmdGetDevQualify[KV_COMMAND_BLOCK_LENGTH];

// The exchange itself: an 8-byte command block with SET_CUR to selector 10, or the 8-byte
// answer with GET_CUR from selector 11, of the unit XuUnitId. No recovery block and no line
// beyond the wrapper's: callers add their own.
EFI_STATUS SendCommandBlock(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 *Block);
EFI_STATUS ReadCommandAnswer(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 *Answer);
// Sends an 8-byte command block with SET_CUR. When the camera refuses it, the recovery
// block is sent once (unless the refused block was the recovery block); the status of the
// first send is returned.
EFI_STATUS VendorSetCmd(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 *Block);
// Reads the 8-byte answer with GET_CUR.
EFI_STATUS VendorGetCmd(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 *Answer);

// ---------------------------------------------------------------- vendor request codes

enum VENDOR_REQUEST_ID {
  VendorReqResetToUpdateFW,
  VendorReqWriteMem,
  VendorReqReadMem,
  VendorReqReadFlash,
  VendorReqWriteFlash,
  VendorReqReadSr,
  VendorReqWriteSr,
  VendorReqEraseFlash,
  VendorReqWriteTag,
  VendorReqCount
};

// The data stage's direction is bit 7 of RequestType; a request without data has none.
struct VENDOR_REQUEST_CODE {
  UINT8 RequestType;
  UINT8 Request;
  const CHAR16 *Name;  // in the failure line "SendVendorRequest <Name> fail %r"
};

// One (bmRequestType, bRequest) pair per operation, indexed by VENDOR_REQUEST_ID.
extern const VENDOR_REQUEST_CODE VendorRequestCodes[VendorReqCount];

// Sends the vendor request Id of the table. TRUE on success; on failure it logs the line
// "SendVendorRequest <Name> fail %r" after the wrapper's and returns FALSE.
BOOLEAN SendVendorCommand(EFI_USB_IO_PROTOCOL *UsbIo, VENDOR_REQUEST_ID Id, UINT16 Value,
                          UINT16 Index, VOID *Data, UINT32 Length);

// ---------------------------------------------------------------- identification and modes

// Device information: 80 bytes read in ten 8-byte pieces.
#define KV_DEVICE_INFO_LENGTH 80
#define KV_DEVICE_INFO_PIECE_LENGTH 8

// Decoded device information.
struct FwInfo {
  UINT16 wPID;
  UINT16 wVID;
  UINT16 wFW;
  UINT16 wREV;
  UINT16 wHW;
};

// wValue and wIndex of the request that restarts the camera into its update mode.
#define KV_RESET_TO_UPDATE_FW_VALUE 2
#define KV_RESET_TO_UPDATE_FW_INDEX 7

// The identification answer of a supported camera: "VOSKARN" and a zero byte.
#define KV_DEV_QUALIFY_ANSWER "VOSKARN"

// Reads piece 0 of the device information: the chip's vendor ID and chip ID. Both outputs
// are 0 unless the exchange succeeds. Returns the status of the last exchange.
EFI_STATUS GetChipInfo_VendorCmd(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 *ChipVid, UINT16 *ChipId);
// Reads all 80 bytes of the device information and decodes them into Info; Info is written
// only on success. Returns the status of the last exchange.
EFI_STATUS GetFwInfo_VendorCmd(EFI_USB_IO_PROTOCOL *UsbIo, FwInfo *Info);
// TRUE when the camera runs its ROM code: its device information cannot be read.
BOOLEAN CheckRomCode(EFI_USB_IO_PROTOCOL *UsbIo);
// Restarts the camera into its firmware-update mode.
BOOLEAN ResetToUpdateFW(EFI_USB_IO_PROTOCOL *UsbIo);
// Restarts the camera into the code just written (cmdResetToDLFW, no recovery block).
BOOLEAN ResetToRom(EFI_USB_IO_PROTOCOL *UsbIo);
// Asks for the 8-byte identification answer into Answer; TRUE when it is "VOSKARN".
BOOLEAN GetDevQualify(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 *Answer);

// ---------------------------------------------------------------- memory, flash, status register

// Controller memory has 16-bit addresses, carried whole in wIndex (wValue 0). Flash memory
// has 24-bit byte addresses: bits 16-23 go into the high byte of wValue (its low byte is 0),
// bits 0-15 into wIndex; bits 24-31 of an address argument are not sent.
#define KV_FLASH_ADDRESS_VALUE(Address) ((UINT16)((((Address) >> 16) & 0xFF) << 8))
#define KV_FLASH_ADDRESS_INDEX(Address) ((UINT16)((Address) & 0xFFFF))

// Bit 0 of the flash status register: a write or erase is in progress.
#define KV_SR_BUSY 0x01

// Each sends one vendor request and returns TRUE on success; on failure it logs its own
// line after the wrapper's and returns FALSE. Length is the data stage's byte count.
BOOLEAN ReadMem(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 Address, UINT32 Length, VOID *Data);
BOOLEAN WriteMem(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 Address, UINT32 Length, const VOID *Data);
// Reads the one-byte flash status register. *Value is written only on success; an answer
// without its byte reads as 0xFF, a busy flash.
BOOLEAN ReadSr(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 *Value);
BOOLEAN WriteSr(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 Value);
// Erases the flash as the camera defines it; no address, no data stage.
BOOLEAN EraseFlash(EFI_USB_IO_PROTOCOL *UsbIo);
BOOLEAN ReadFlash(EFI_USB_IO_PROTOCOL *UsbIo, UINT32 Address, UINT32 Length, VOID *Data);
BOOLEAN WriteFlash(EFI_USB_IO_PROTOCOL *UsbIo, UINT32 Address, UINT32 Length, const VOID *Data);
// Marks the written image as complete; sent once the image has been verified.
BOOLEAN WriteTag(EFI_USB_IO_PROTOCOL *UsbIo);
