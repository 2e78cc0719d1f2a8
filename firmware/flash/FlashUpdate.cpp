// The flash-path update: qualify the camera, bring it into update mode, release the write
// protection, erase, write the image in pieces, read it back and compare, tag, protect
// again and restart the camera into the new code.
#include "Flash.h"
#include "command/Command.h"

namespace {

// A failed step: its verbose line with the status, and the status.
EFI_STATUS Fail(const CHAR8 *Message) {
  DebugVerbose(Message, EFI_DEVICE_ERROR);
  return EFI_DEVICE_ERROR;
}

UINT32 PieceAt(UINT32 Offset, UINT32 Length) {
  return Length - Offset < KV_FLASH_PIECE_SIZE ? Length - Offset : KV_FLASH_PIECE_SIZE;
}

// The steps between the allocation of the read-back buffer and its release. Length has been
// checked: 1 to KV_FLASH_ADDRESS_SPACE bytes.
// Writes the image piece by piece: one point per piece while writing; at the end the write
// budget's remainder, or the excess taken back when there were more pieces than points.
BOOLEAN WritePieces(EFI_USB_IO_PROTOCOL *UsbIo, const UINT8 *Payload, UINT32 Length,
                    KV_PROGRESS *Progress, INT32 *Percent) {
  DebugMessage("Write Flash, ImageSize=0x%06X\r\n", Length);
  INT32 Budget = KV_FLASH_WRITE_BUDGET;
  for (UINT32 Offset = 0; Offset < Length;) {
    const UINT32 Piece = PieceAt(Offset, Length);
    *Percent += KV_FLASH_STEP_PIECE;
    KvrProgress(Progress, *Percent);
    Budget -= KV_FLASH_STEP_PIECE;
    if (!WriteFlash(UsbIo, Offset, Piece, Payload + Offset)) {
      DebugVerbose("WrtieFlash addr=%06X len=%06X\r\n", Offset, Piece);
      return FALSE;
    }
    Offset += Piece;
  }
  *Percent += Budget;
  KvrProgress(Progress, *Percent);
  return TRUE;
}

// Reads the whole image back into Buffer, piece by piece. A control transfer does not say
// how many bytes came back: each piece starts as the complement of the image, so bytes the
// camera leaves out can never pass the compare.
BOOLEAN ReadBack(EFI_USB_IO_PROTOCOL *UsbIo, const UINT8 *Payload, UINT32 Length, UINT8 *Buffer) {
  for (UINT32 Offset = 0; Offset < Length;) {
    const UINT32 Piece = PieceAt(Offset, Length);
    KvrComplementMem(Buffer + Offset, Payload + Offset, Piece);
    if (!ReadFlash(UsbIo, Offset, Piece, Buffer + Offset)) {
      return FALSE;
    }
    Offset += Piece;
  }
  return TRUE;
}

// The write phase raises the total by one per piece before it takes the excess back: for an
// image of more than KV_FLASH_WRITE_BUDGET pieces the reports after the write hold the value
// the last piece reached (the reporter never tells less), and 100 comes only with the last
// report, once the camera has been restarted into the new code.
EFI_STATUS DownloadSteps(EFI_USB_IO_PROTOCOL *UsbIo, const UINT8 *Payload, UINT32 Length,
                         UINT8 *Buffer, TARVEL_PROGRESS_PROTOCOL *Protocol) {
  KV_PROGRESS Progress = {Protocol, 0};
  KV_WP_RELEASE Release = {FALSE, 0};
  INT32 Percent = 0;

  UINT8 Answer[KV_COMMAND_BLOCK_LENGTH];
  if (!GetDevQualify(UsbIo, Answer)) {
    return Fail("GetDevQualify failed %r\r\n");
  }
  Percent += KV_FLASH_STEP_QUALIFY;
  KvrProgress(&Progress, Percent);

  DebugMessage("Check Rom Code\r\n");
  const BOOLEAN RomCode = CheckRomCode(UsbIo);
  if (RomCode && !KvrUsbPresent(UsbIo)) {
    return Fail("CheckRomCode failed %r\r\n");  // the camera has gone, not into ROM code
  }
  if (!RomCode) {
    // The camera runs its firmware: restart it into update mode, on the same interface.
    DebugMessage("Reset to FW update mode\r\n");
    if (!ResetToUpdateFW(UsbIo)) {
      return Fail("ResetToUpdateFW failed %r\r\n");
    }
    BootServices->Stall(KV_CAMERA_RESET_STALL_US);
    Percent += KV_FLASH_STEP_UPDATE_MODE;
    KvrProgress(&Progress, Percent);
  }
  Percent += KV_FLASH_STEP_ROM_CHECK;
  KvrProgress(&Progress, Percent);

  DebugMessage("Disable Write Protect\r\n");
  if (!DisableWriteProtect(UsbIo, &Release)) {
    return Fail("DisableWriteProtect failed %r\r\n");
  }
  Percent += KV_FLASH_STEP_RELEASE;
  KvrProgress(&Progress, Percent);

  DebugMessage("Erase Flash\r\n");
  if (!EraseFlash(UsbIo)) {
    return Fail("EraseFlash failed %r\r\n");
  }
  Percent += KV_FLASH_STEP_ERASE;
  KvrProgress(&Progress, Percent);

  if (!WritePieces(UsbIo, Payload, Length, &Progress, &Percent)) {
    return Fail("WrtieFlash failed %r\r\n");
  }
  DebugMessage("Read Flash\r\n");
  if (!ReadBack(UsbIo, Payload, Length, Buffer)) {
    return Fail("ReadFlash failed %r\r\n");
  }
  Percent += KV_FLASH_STEP_VERIFY;
  KvrProgress(&Progress, Percent);

  if (!KvrCompareMem(Buffer, Payload, Length)) {
    DebugMessage("Compare Code Fail\n");
    return EFI_DEVICE_ERROR;
  }

  DebugMessage("Write Tag\r\n");
  if (!WriteTag(UsbIo)) {
    return Fail("WriteTag failed %r\r\n");
  }
  Percent += KV_FLASH_STEP_TAG;
  KvrProgress(&Progress, Percent);

  DebugMessage("Enable Write Protect\r\n");
  if (!EnableWriteProtect(UsbIo, &Release)) {
    return Fail("EnableWriteProtect failed %r\r\n");
  }
  Percent += KV_FLASH_STEP_PROTECT;
  KvrProgress(&Progress, Percent);

  DebugMessage("Reset to New Code\r\n");
  if (!ResetToRom(UsbIo)) {
    return Fail("ResetToRom failed %r\r\n");
  }
  Percent += KV_FLASH_STEP_RESTART;
  KvrProgress(&Progress, Percent, TRUE);

  DebugMessage("FW download success\r\n");
  BootServices->Stall(KV_CAMERA_RESET_STALL_US);
  return EFI_SUCCESS;
}

}  // namespace

EFI_STATUS FlashFwDownload(EFI_USB_IO_PROTOCOL *UsbIo, const UINT8 *Payload, UINT64 PayloadLength,
                           TARVEL_PROGRESS_PROTOCOL *Progress) {
  // Refused before anything reaches the camera: an empty image would only erase the flash,
  // and flash addresses have 24 bits.
  if (UsbIo == NULL || Payload == NULL) {
    LogError("FlashFwDownload: no camera or no image\n");
    return EFI_INVALID_PARAMETER;
  }
  if (PayloadLength == 0) {
    LogError("FlashFwDownload: the image is empty, nothing to write\n");
    return EFI_INVALID_PARAMETER;
  }
  if (PayloadLength > KV_FLASH_ADDRESS_SPACE) {
    LogError("FlashFwDownload: image of 0x%lX bytes exceeds the flash address space of "
             "0x%lX bytes\n",
             PayloadLength, KV_FLASH_ADDRESS_SPACE);
    return EFI_BAD_BUFFER_SIZE;
  }

  UINT8 *Buffer = (UINT8 *)AllocatePool((UINTN)PayloadLength);
  if (Buffer == NULL) {
    LogError("FlashFwDownload: no memory for the read-back buffer of 0x%lX bytes\n",
             PayloadLength);
    return EFI_OUT_OF_RESOURCES;
  }
  EFI_STATUS Status = DownloadSteps(UsbIo, Payload, (UINT32)PayloadLength, Buffer, Progress);
  FreePool(Buffer);
  return Status;
}
