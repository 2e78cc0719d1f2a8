// The firmware build's debug sink. By default it discards every message; built with
// KVR_CONSOLE_SINK (the emulator runs) it prints each message on the system console.
#include "platform/Platform.h"

#ifdef KVR_CONSOLE_SINK

namespace {
// Longest message printed; the rest of a longer one is cut.
constexpr UINTN kConsoleMessageChars = 512;
}  // namespace

VOID DebugSink(const CHAR8 *Format, va_list Args) {
  if (SystemTable == NULL || SystemTable->ConOut == NULL) {
    return;
  }
  CHAR16 Text[kConsoleMessageChars];
  KvrVFormat(Text, kConsoleMessageChars, Format, Args);

  // The console wants "\r\n"; many messages end in a bare "\n".
  CHAR16 Line[2 * kConsoleMessageChars];
  UINTN Out = 0;
  for (UINTN In = 0; In < kConsoleMessageChars && Text[In] != 0; In++) {
    if (Text[In] == u'\n' && (In == 0 || Text[In - 1] != u'\r')) {
      Line[Out++] = u'\r';
    }
    Line[Out++] = Text[In];
  }
  Line[Out] = 0;
  SystemTable->ConOut->OutputString(SystemTable->ConOut, Line);
}

#else

VOID DebugSink(const CHAR8 *Format, va_list Args) {
  (VOID) Format;
  (VOID) Args;
}

#endif
