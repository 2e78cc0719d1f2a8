// The image download to the DFU ROM device: the state recovery that lets a download start,
// the blocks with their status polls and progress, and the final zero-length DFU_DNLOAD.
// The block write is called DFUWriteFW_4C15 in the messages.
#include "Dfu.h"
#include "command/Command.h"

namespace {

// KvrUsbTimedOutMs when the budget last took the requests that timed out into account.
UINT32 TimedOutCounted = 0;

// Waits the poll timeout the device asked for, out of what is left of the transfer's wait
// budget; requests that timed out since the last wait have used the budget as well. A wait
// longer than what is left is not started: FALSE.
BOOLEAN WaitPollTimeout(UINT32 *WaitLeftMs, UINT32 PollTimeoutMs) {
  const UINT32 Held = KvrUsbTimedOutMs - TimedOutCounted;
  TimedOutCounted = KvrUsbTimedOutMs;
  *WaitLeftMs = Held < *WaitLeftMs ? *WaitLeftMs - Held : 0;
  if (PollTimeoutMs > *WaitLeftMs) {
    DebugMessage("DFU device asks for a wait of %d ms, only %d ms of %d are left\r\n",
                 (INT32)PollTimeoutMs, (INT32)*WaitLeftMs, (INT32)DFU_WAIT_BUDGET_MS);
    return FALSE;
  }
  *WaitLeftMs -= PollTimeoutMs;
  if (PollTimeoutMs != 0) {
    BootServices->Stall((UINTN)PollTimeoutMs * 1000);
  }
  return TRUE;
}

// Brings the ROM device to where a download can start. FALSE: the transfer must not begin.
BOOLEAN RecoverDfuState(EFI_USB_IO_PROTOCOL *UsbIo, UINT32 *WaitLeftMs) {
  DFUStatus Answer;
  for (UINT32 Retries = 0; Retries <= DFU_RECOVERY_MAX_ROUNDS; Retries++) {
    // Bytes a short answer leaves out read as 0.
    KvrSetMem(&Answer, sizeof(Answer), 0);
    if (!DFUGetStatus(UsbIo, &Answer, DFU_STATUS_LENGTH, DFU_ROM_INTERFACE)) {
      DebugMessage("GetStatus fail!!\r\n");
      return FALSE;
    }
    if (!WaitPollTimeout(WaitLeftMs, DFUPollTimeout(&Answer))) {
      return FALSE;
    }
    const UINT8 State = Answer.bState;
    const BOOLEAN NeedsClear = State == DFU_STATE_DFU_ERROR;
    const BOOLEAN NeedsAbort = State == DFU_STATE_DNLOAD_IDLE || State == DFU_STATE_UPLOAD_IDLE;
    if ((NeedsClear || NeedsAbort) && Retries == DFU_RECOVERY_MAX_ROUNDS) {
      DebugMessage("DFU device still in state %d after %d retries\r\n", (INT32)State,
                   (INT32)DFU_RECOVERY_MAX_ROUNDS);
      return FALSE;
    }
    if (State == DFU_STATE_APP_IDLE || State == DFU_STATE_APP_DETACH) {
      DebugMessage("Device still in Runtime Mode!\r\n");
    } else if (NeedsClear) {
      if (DFUClearStatus(UsbIo, DFU_ROM_INTERFACE)) {
        DebugMessage("DFU Error -> Retry\r\n");
        continue;
      }
      DebugMessage("error clear_status!\r\n");
    } else if (NeedsAbort) {
      if (DFUAbort(UsbIo, DFU_ROM_INTERFACE)) {
        DebugMessage("DFU Idle Error -> Retry\r\n");
        continue;
      }
      DebugMessage("can't send DFU_ABORT\r\n");
    } else if (State == DFU_STATE_DFU_IDLE) {
      DebugMessage("Idle\r\n");
    } else {
      DebugMessage("Other State = %d.\r\n", (INT32)State);
    }
    break;
  }

  if (Answer.bStatus == DFU_STATUS_OK) {
    return TRUE;
  }
  if (!KvrUsbPresent(UsbIo)) {
    return FALSE;  // the failed request was the device leaving: nothing more goes to it
  }
  // An error status is still pending: clear it, whatever the state, and ask again.
  if (!DFUClearStatus(UsbIo, DFU_ROM_INTERFACE)) {
    DebugMessage("USB communication error\r\n");
    return FALSE;
  }
  KvrSetMem(&Answer, sizeof(Answer), 0);
  if (!DFUGetStatus(UsbIo, &Answer, DFU_STATUS_LENGTH, DFU_ROM_INTERFACE)) {
    DebugMessage("USB communication error\r\n");
    return FALSE;
  }
  if (Answer.bStatus != DFU_STATUS_OK) {
    DebugMessage("Status is not OK: %d.\r\n", (INT32)Answer.bStatus);
    return FALSE;
  }
  return WaitPollTimeout(WaitLeftMs, DFUPollTimeout(&Answer));
}

// One DFU_DNLOAD: a block (Length > 0, 5000 ms) or the final zero-length request (20000 ms).
BOOLEAN SendDownload(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 BlockNumber, const UINT8 *Data,
                     UINT16 Length) {
  // The transfer only reads an OUT data stage.
  return DFURequest(UsbIo, DFU_REQUEST_TYPE_OUT, DFU_DNLOAD, /* wValue */ BlockNumber,
                    DFU_ROM_INTERFACE, (VOID *)Data, Length,
                    Length == 0 ? DFU_FINAL_TIMEOUT_MS : DFU_REQUEST_TIMEOUT_MS, DfuReportNone,
                    NULL);
}

// How the status poll after a block ended.
enum BLOCK_POLL {
  BlockPollSettled,   // dfuDNLOAD-IDLE or dfuERROR: *Answer says whether the block was taken
  BlockPollGaveUp,    // DFU_BLOCK_POLL_MAX answers, or a wait beyond the budget
  BlockPollNoAnswer,  // DFU_GETSTATUS failed
};

// Polls until the device has taken block BlockNumber (dfuDNLOAD-IDLE) or failed it
// (dfuERROR), waiting between polls the poll timeout each answer asks for.
BLOCK_POLL PollBlock(EFI_USB_IO_PROTOCOL *UsbIo, UINT32 BlockNumber, UINT32 *WaitLeftMs,
                     DFUStatus *Answer) {
  KvrSetMem(Answer, sizeof(*Answer), 0);
  for (UINT32 Polls = 1;; Polls++) {
    if (!DFUGetStatus(UsbIo, Answer, DFU_STATUS_LENGTH, DFU_ROM_INTERFACE)) {
      DebugMessage("VendorSetCmd GetStatus when FW write fail!!\r\n");
      return BlockPollNoAnswer;
    }
    if (Answer->bState == DFU_STATE_DNLOAD_IDLE || Answer->bState == DFU_STATE_DFU_ERROR) {
      return BlockPollSettled;
    }
    if (Polls == DFU_BLOCK_POLL_MAX) {
      DebugMessage("DFU device still in state %d after %d polls of block %d\r\n",
                   (INT32)Answer->bState, (INT32)DFU_BLOCK_POLL_MAX, (INT32)BlockNumber);
      return BlockPollGaveUp;
    }
    if (!WaitPollTimeout(WaitLeftMs, DFUPollTimeout(Answer))) {
      return BlockPollGaveUp;
    }
  }
}

}  // namespace

INT32 DFUTransferLength(const UINT8 *Payload, INT32 Length) {
  // An image that begins with 3 names its own size in blocks, less one, at offset 4.
  if (Payload != NULL && Length > 4 && Payload[0] == 3) {
    const INT32 Cap = ((INT32)(INT8)Payload[4] + 1) * DFU_BLOCK_SIZE;
    if (Length >= Cap) {
      Length = Cap;
    }
  }
  if (Length % 1024 == 16) {
    Length -= 16;
  }
  return Length;
}

BOOLEAN DFUDump(EFI_USB_IO_PROTOCOL *UsbIo, const UINT8 *Payload, INT32 Length, UINT32 *Accumulator,
                INT32 Budget, KV_PROGRESS *Progress) {
  UINT32 WaitLeftMs = DFU_WAIT_BUDGET_MS;
  TimedOutCounted = KvrUsbTimedOutMs;
  if (!RecoverDfuState(UsbIo, &WaitLeftMs)) {
    return FALSE;
  }

  const INT32 nLength = Payload == NULL ? 0 : DFUTransferLength(Payload, Length);
  DebugMessage("Transfer Length : %d.\r\n", nLength);
  if (nLength <= 0) {
    // A DFU download of nothing is not a download: DFU 1.1 devices refuse a zero-length
    // DFU_DNLOAD in dfuIDLE.
    DebugMessage("Nothing to transfer\r\n");
    return FALSE;
  }
  // The budget is shared over the whole blocks; an image shorter than one block is one
  // block.
  const INT32 WholeBlocks = nLength / DFU_BLOCK_SIZE;
  const INT32 share = Budget / (WholeBlocks > 0 ? WholeBlocks : 1);
  UINT32 RunningSum = Accumulator != NULL ? *Accumulator : 0;
  INT32 offset = 0;
  INT32 remainLen = nLength;
  UINT32 BlockNumber = 0;
  BOOLEAN Accepted = FALSE;
  // Whether the running sum goes back to the caller. Two exits keep the caller's sum as it
  // was on entry: a status poll without an answer and a refused final request. There the
  // device went silent after it had taken blocks, rather than refusing one, and the shares
  // already told to the platform are not handed back to the caller as progress of its own
  // (the DFU procedure reports a fixed value next). Every other exit hands back the sum
  // reported so far, the failed block's share included.
  BOOLEAN HandBackSum = TRUE;

  // One block a round, then the final request once nothing remains: at most
  // nLength / DFU_BLOCK_SIZE + 2 rounds.
  for (;;) {
    if (remainLen == 0) {
      DebugMessage("[DFUDump]Transfer Final transaction = %d\r\n", (INT32)BlockNumber);
      if (!SendDownload(UsbIo, (UINT16)BlockNumber, NULL, 0)) {
        DebugMessage("VendorSetCmd DFUWriteFW_4C15 complete fail!!\r\n");
        HandBackSum = FALSE;
        break;
      }
      RunningSum += (UINT32)Budget;
      KvrProgress(Progress, (INT32)RunningSum);
      DebugMessage("DFUWriteFW_4C15 OK!\r\n");
      Accepted = TRUE;
      break;
    }

    const INT32 byteToWrite = remainLen < DFU_BLOCK_SIZE ? remainLen : DFU_BLOCK_SIZE;
    if (Budget >= share) {
      RunningSum += (UINT32)share;
      KvrProgress(Progress, (INT32)RunningSum);
      Budget -= share;
    }
    if (!SendDownload(UsbIo, (UINT16)BlockNumber, Payload + offset, (UINT16)byteToWrite)) {
      DebugMessage("VendorSetCmd DFUWriteFW_4C15 fail!!\r\n");
      DebugMessage("offset = %d, remainLen = %d, byteToWrite = %d, nLength = %d!!\r\n", offset,
                   remainLen, byteToWrite, nLength);
      break;
    }
    DFUStatus Answer;
    const BLOCK_POLL Poll = PollBlock(UsbIo, BlockNumber, &WaitLeftMs, &Answer);
    if (Poll != BlockPollSettled) {
      HandBackSum = Poll != BlockPollNoAnswer ? TRUE : FALSE;
      break;
    }
    offset += byteToWrite;
    remainLen -= byteToWrite;
    BlockNumber++;
    if (Answer.bStatus != DFU_STATUS_OK) {
      DebugMessage("offset = %d, remainLen = %d \r\n", offset, remainLen);
      DebugMessage("bStatus != DFU_STATUS_OK !!\r\n");
      break;
    }
  }

  if (HandBackSum && Accumulator != NULL) {
    *Accumulator = RunningSum;
  }
  return Accepted;
}
