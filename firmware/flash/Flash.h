// Flash programming: the flash-path update sequence and the camera's write protection.
#pragma once

#include "usb/Usb.h"

// ---------------------------------------------------------------- update sequence

// The image is written and read back in pieces of this many bytes, from flash address 0.
#define KV_FLASH_PIECE_SIZE 4096
// Progress points the write phase adds in total: one per piece while writing, the rest (or
// the excess taken back) at its end.
#define KV_FLASH_WRITE_BUDGET 35
// Progress points of the other steps, in the order they run. With the write budget they
// make 100 for a camera restarted into update mode; one found in its ROM code skips that
// step and ends at 96.
#define KV_FLASH_STEP_QUALIFY 1       // identification answer read
#define KV_FLASH_STEP_UPDATE_MODE 4   // restarted into update mode (only a camera that was not)
#define KV_FLASH_STEP_ROM_CHECK 2     // the ROM-code check done
#define KV_FLASH_STEP_RELEASE 3       // write protection released
#define KV_FLASH_STEP_ERASE 5         // flash erased
#define KV_FLASH_STEP_PIECE 1         // each piece written, out of the write budget
#define KV_FLASH_STEP_VERIFY 35       // image read back
#define KV_FLASH_STEP_TAG 5           // image tagged complete
#define KV_FLASH_STEP_PROTECT 5       // write protection set again
#define KV_FLASH_STEP_RESTART 5       // restarted into the new code
static_assert(KV_FLASH_STEP_QUALIFY + KV_FLASH_STEP_UPDATE_MODE + KV_FLASH_STEP_ROM_CHECK +
                  KV_FLASH_STEP_RELEASE + KV_FLASH_STEP_ERASE + KV_FLASH_WRITE_BUDGET +
                  KV_FLASH_STEP_VERIFY + KV_FLASH_STEP_TAG + KV_FLASH_STEP_PROTECT +
                  KV_FLASH_STEP_RESTART ==
              100);
// Flash addresses have 24 bits: the longest image that can be placed.
#define KV_FLASH_ADDRESS_SPACE 0x1000000ULL
// Wait after each restart of the camera, in microseconds.
#define KV_CAMERA_RESET_STALL_US 1000000

// Writes Payload into the camera's flash over the vendor command channel, reporting
// progress to Progress when it is not NULL. EFI_SUCCESS only when every step succeeded;
// EFI_DEVICE_ERROR when the camera failed a step. An empty image, or one longer than the
// flash address space, is refused before anything is sent (EFI_INVALID_PARAMETER,
// EFI_BAD_BUFFER_SIZE); so is an update whose read-back buffer cannot be allocated
// (EFI_OUT_OF_RESOURCES).
EFI_STATUS FlashFwDownload(EFI_USB_IO_PROTOCOL *UsbIo, const UINT8 *Payload, UINT64 PayloadLength,
                           TARVEL_PROGRESS_PROTOCOL *Progress);

// ---------------------------------------------------------------- write protection

// Variant code: bytes 0xFE21 and 0xFE22 of the controller memory, each masked with 0xF0,
// as (byte 0xFE21 & 0xF0) | (byte 0xFE22 & 0xF0) << 8. It selects which controller
// registers guard the flash besides 0xFEA0 and 0xFEA6.
#define KV_MEM_VARIANT 0xFE21
#define KV_MEM_VARIANT_LENGTH 2
#define KV_VARIANT_MASK 0xF0

// Controller registers, one byte each.
#define KV_MEM_WP_CONTROL 0xFEA0  // every variant
#define KV_MEM_WP_LEVEL 0xFEA6    // every variant
#define KV_MEM_LINE_CONTROL 0xFEA1  // register groups 1 and 2
#define KV_MEM_LINE_LEVEL 0xFEA7    // register groups 1 and 2
#define KV_MEM_WRITE_GATE 0xFF9C    // register group 3

// Bits of those registers.
#define KV_WP_BIT 0x01
#define KV_LINE_BITS_GROUP1 0x04
#define KV_LINE_BITS_GROUP2 0x0C
#define KV_WRITE_GATE_BITS 0x05

// Flash status register values: all protection off, and block protection with the status
// register write-disable bit (bits 7, 3 and 2).
#define KV_SR_UNPROTECTED 0x00
#define KV_SR_PROTECTED 0x8C

// Busy poll after a status register write: up to this many re-reads, each after a stall.
#define KV_SR_POLL_RETRIES 20
#define KV_SR_POLL_STALL_US 50000

// What the release of the write protection of one flash update worked with, for setting the
// protection again in the same update: the variant code (0 when its read failed), once
// there has been a release. Zeroed when the update starts.
struct KV_WP_RELEASE {
  BOOLEAN Released;
  UINT16 VariantCode;
};

// Releases the flash's write protection: the controller registers of the camera's variant,
// then status register 0x00, then waits for the flash to be idle; notes the variant in
// *Release. TRUE on success; the failed command has logged the cause.
BOOLEAN DisableWriteProtect(EFI_USB_IO_PROTOCOL *UsbIo, KV_WP_RELEASE *Release);
// Sets the write protection again: the protecting register values of the variant the
// release worked with, status register 0x8C, then the same wait.
BOOLEAN EnableWriteProtect(EFI_USB_IO_PROTOCOL *UsbIo, KV_WP_RELEASE *Release);
