// Console output of the harness.
#include "emu/harness/Harness.h"

namespace harness {

namespace {
constexpr UINTN kChunkChars = 256;
}  // namespace

void Print(const TextLine &line) {
  if (gST == NULL || gST->ConOut == NULL) {
    return;
  }
  CHAR16 chunk[kChunkChars + 3];
  const CHAR8 *text = line.Text();
  UINTN at = 0;
  const UINTN length = line.Length();
  // Pieces of at most kChunkChars, so any line fits the buffer; the last one ends the line.
  do {
    UINTN n = 0;
    for (; n < kChunkChars && at < length; n++, at++) {
      chunk[n] = static_cast<CHAR16>(static_cast<UINT8>(text[at]));
    }
    if (at >= length) {
      chunk[n++] = u'\r';
      chunk[n++] = u'\n';
    }
    chunk[n] = 0;
    gST->ConOut->OutputString(gST->ConOut, chunk);
  } while (at < length);
}

void Print(const CHAR8 *text) {
  static TextLine line;
  line.Clear();
  line.Add(text);
  Print(line);
}

}  // namespace harness
