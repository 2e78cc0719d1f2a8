// Platform layer of the driver: the platform tables, pool wrappers, the USB I/O handle
// lookup, small memory helpers, the OEM progress protocol and the debug log channels.
#pragma once

#include <stdarg.h>

#include "Uefi.h"

// ---------------------------------------------------------------- platform tables
// Written by the entry point before anything else runs; only read afterwards.
extern EFI_HANDLE ImageHandle;
extern EFI_SYSTEM_TABLE *SystemTable;
extern EFI_BOOT_SERVICES *BootServices;
extern EFI_RUNTIME_SERVICES *RuntimeServices;

// ---------------------------------------------------------------- pool
// Boot-services data pool. Both allocators return NULL when the pool service fails.
VOID *AllocatePool(UINTN Size);
VOID *AllocateZeroPool(UINTN Size);
VOID FreePool(VOID *Buffer);

// ---------------------------------------------------------------- memory helpers
VOID KvrCopyMem(VOID *Destination, const VOID *Source, UINTN Length);
VOID KvrSetMem(VOID *Buffer, UINTN Length, UINT8 Value);
// Destination[I] = ~Source[I] for each of Length bytes; the two do not overlap.
VOID KvrComplementMem(VOID *Destination, const VOID *Source, UINTN Length);
BOOLEAN KvrCompareMem(const VOID *A, const VOID *B, UINTN Length);  // TRUE when equal
BOOLEAN KvrCompareGuid(const EFI_GUID *A, const EFI_GUID *B);       // TRUE when equal
UINTN KvrStrLen(const CHAR16 *String, UINTN MaxLength);              // bounded

// TRUE when [Offset, Offset + Length) lies inside a container of Size bytes.
// Written so that no sum can overflow.
static inline BOOLEAN KvrRangeInside(UINT64 Offset, UINT64 Length, UINT64 Size) {
  return Offset <= Size && Length <= Size - Offset;
}
// TRUE when an array of Count elements of ElementSize bytes each, from Offset on, lies
// inside a container of Size bytes. Written so that no product or sum can overflow.
static inline BOOLEAN KvrArrayInside(UINT64 Offset, UINT64 Count, UINT64 ElementSize,
                                     UINT64 Size) {
  return Offset <= Size && (ElementSize == 0 || Count <= (Size - Offset) / ElementSize);
}

// Little-endian reads out of byte buffers, free of alignment assumptions.
static inline UINT16 KvrReadU16(const UINT8 *P) { return (UINT16)(P[0] | (P[1] << 8)); }
static inline UINT32 KvrReadU24(const UINT8 *P) {
  return (UINT32)P[0] | ((UINT32)P[1] << 8) | ((UINT32)P[2] << 16);
}
static inline UINT32 KvrReadU32(const UINT8 *P) {
  return (UINT32)P[0] | ((UINT32)P[1] << 8) | ((UINT32)P[2] << 16) | ((UINT32)P[3] << 24);
}
static inline UINT64 KvrReadU64(const UINT8 *P) {
  return (UINT64)KvrReadU32(P) | ((UINT64)KvrReadU32(P + 4) << 32);
}

// ---------------------------------------------------------------- OEM progress protocol

#define TARVEL_PROGRESS_PROTOCOL_GUID \
  {0x9BBC3E2B, 0x11BD, 0x4D37, {0xB6, 0x01, 0x46, 0x3C, 0xE7, 0x89, 0xDE, 0x7E}}

struct TARVEL_PROGRESS_PROTOCOL;
// Percent is the cumulative share of the update done so far. It travels as a UINTN, so a
// platform that reads the argument as 32 or as 64 bits sees the same value.
typedef EFI_STATUS(EFIAPI *TARVEL_UPDATE_PROGRESS)(TARVEL_PROGRESS_PROTOCOL *This,
                                                   UINTN Percent);
struct TARVEL_PROGRESS_PROTOCOL {
  TARVEL_UPDATE_PROGRESS UpdateProgress;
};
static_assert(offsetof(TARVEL_PROGRESS_PROTOCOL, UpdateProgress) == 0);

// Progress values told to the platform, in absolute percent. The run tells
// KV_PROGRESS_FOUND once it has found the protocol; each update procedure then tells its own
// running total from its start.
#define KV_PROGRESS_FOUND 10
#define KV_PROGRESS_MAX 100            // only once the update has succeeded
#define KV_PROGRESS_MAX_UNFINISHED 99  // the most before that

// The one progress reporter: what one teller (the run, or one update procedure) has told
// the platform through the protocol so far.
struct KV_PROGRESS {
  TARVEL_PROGRESS_PROTOCOL *Protocol;  // NULL: nothing is told
  UINT32 Last;                          // the highest value told so far
};
// Tells Percent: raised to the last value told, so that the bar never runs back, and cut to
// KV_PROGRESS_MAX_UNFINISHED unless Done (the update has succeeded).
VOID KvrProgress(KV_PROGRESS *Progress, INT32 Percent, BOOLEAN Done = FALSE);

extern EFI_GUID gTarvelProgressProtocolGuid;
extern EFI_GUID gEfiUsbIoProtocolGuid;
extern EFI_GUID gEfiDevicePathProtocolGuid;
extern EFI_GUID gEfiHobListGuid;
extern EFI_GUID gEfiCapsuleVendorGuid;

// ---------------------------------------------------------------- debug log
// The texts of the log channels' messages are the system's own and kept word for word: the
// lines the platform and its logs are read for (the run's entry and exit lines, the
// procedures' success and failure lines, "USB scan incomplete", the gate's line). The texts
// DebugVerbose prints are diagnostics of the images that show a log (console and serial),
// and change as the code does.

// Level words: the level sits in the top three bits.
#define KVR_LOG_LEVEL(n) ((UINT32)(n) << 29)
#define KVR_LEVEL_INFO KVR_LOG_LEVEL(1)
#define KVR_LEVEL_TRACE KVR_LOG_LEVEL(2)
#define KVR_LEVEL_WARNING KVR_LOG_LEVEL(4)
#define KVR_LEVEL_ERROR KVR_LOG_LEVEL(5)
#define DEBUG_VERBOSE 0x00400000U

// ASCII format straight to the sink.
VOID DebugMessage(const CHAR8 *Format, ...);
// Prefixed by level and built in a pool string of UCS-2 characters: the prefix and the
// format's expansion ("%s" takes a UCS-2 string). The formats are ASCII text: the same
// message as a UCS-2 format gives, in half the image's bytes.
VOID LogInfo(const CHAR8 *Format, ...);
VOID LogTrace(const CHAR8 *Format, ...);
VOID LogWarning(const CHAR8 *Format, ...);
VOID LogError(const CHAR8 *Format, ...);
// Verbose output, printed only when the debug switch is on: in the images whose sink shows
// the log (console, serial); off in the image a platform ships and on the host.
VOID DebugVerbose(const CHAR8 *Format, ...);
// The debug switch: each build's sink provides it.
BOOLEAN DebugPrintEnabled();

// The debug sink: receives every message of every channel. Each build provides its own.
VOID DebugSink(const CHAR8 *Format, va_list Args);

// ---------------------------------------------------------------- formatter
// The EDK II print conventions: %d %u %x %X %p %s (UCS-2) %a (ASCII) %c %r %% with the
// flags '0' and '-', a decimal width, and 'l'/'L' for 64-bit integers.
// Writes at most BufferChars - 1 characters and a NUL (nothing when Buffer is NULL or
// BufferChars is 0) and returns the length of the whole expansion, without the NUL.
UINTN KvrVFormat(CHAR16 *Buffer, UINTN BufferChars, const CHAR8 *Format, va_list Args);
UINTN KvrVFormat(CHAR16 *Buffer, UINTN BufferChars, const CHAR16 *Format, va_list Args);
UINTN KvrFormat(CHAR16 *Buffer, UINTN BufferChars, const CHAR8 *Format, ...);

// Name of a status as %r prints it; NULL for a status without a name.
const CHAR8 *KvrStatusName(EFI_STATUS Status);
