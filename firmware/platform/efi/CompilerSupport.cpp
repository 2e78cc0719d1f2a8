// The few C library routines the compiler may emit calls to on its own (structure copies
// and clears). The firmware image has no C library, so it carries these.
#include "platform/Platform.h"

extern "C" {

void *memcpy(void *Destination, const void *Source, size_t Length) {
  KvrCopyMem(Destination, Source, Length);
  return Destination;
}

void *memmove(void *Destination, const void *Source, size_t Length) {
  KvrCopyMem(Destination, Source, Length);
  return Destination;
}

void *memset(void *Buffer, int Value, size_t Length) {
  KvrSetMem(Buffer, Length, (UINT8)Value);
  return Buffer;
}

int memcmp(const void *A, const void *B, size_t Length) {
  const UINT8 *Pa = (const UINT8 *)A;
  const UINT8 *Pb = (const UINT8 *)B;
  for (size_t I = 0; I < Length; I++) {
    if (Pa[I] != Pb[I]) {
      return Pa[I] < Pb[I] ? -1 : 1;
    }
  }
  return 0;
}
}
