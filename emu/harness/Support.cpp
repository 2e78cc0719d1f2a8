// The C library routines the compiler may call on its own for structure copies and
// clears; the image links with no library.
#include <stddef.h>

extern "C" {

void *memcpy(void *Destination, const void *Source, size_t Length) {
  unsigned char *d = static_cast<unsigned char *>(Destination);
  const unsigned char *s = static_cast<const unsigned char *>(Source);
  for (size_t i = 0; i < Length; i++) {
    d[i] = s[i];
  }
  return Destination;
}

void *memset(void *Buffer, int Value, size_t Length) {
  unsigned char *b = static_cast<unsigned char *>(Buffer);
  for (size_t i = 0; i < Length; i++) {
    b[i] = static_cast<unsigned char>(Value);
  }
  return Buffer;
}

}
