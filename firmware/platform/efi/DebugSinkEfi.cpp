// The firmware build's debug sink. By default it discards every message; built with
// KVR_CONSOLE_SINK (the emulator runs) it prints each message on the system console; built
// with KVR_SERIAL_SINK it writes each message to the COM1 serial port, where EDK II DEBUG
// builds write theirs.
#include "platform/Platform.h"

#if defined(KVR_CONSOLE_SINK) || defined(KVR_SERIAL_SINK)

// Verbose output goes where the log goes.
BOOLEAN DebugPrintEnabled() { return TRUE; }

namespace {

// Longest message printed; the rest of a longer one is cut.
constexpr UINTN kMessageChars = 512;

// Formats the message and hands it to Put character by character, a "\n" that does not
// follow a "\r" as "\r\n": consoles and serial terminals want both.
template <typename PutChar>
VOID EmitMessage(const CHAR8 *Format, va_list Args, PutChar Put) {
  CHAR16 Text[kMessageChars];
  KvrVFormat(Text, kMessageChars, Format, Args);
  for (UINTN In = 0; In < kMessageChars && Text[In] != 0; In++) {
    if (Text[In] == u'\n' && (In == 0 || Text[In - 1] != u'\r')) {
      Put(u'\r');
    }
    Put(Text[In]);
  }
}

}  // namespace

#endif

#if defined(KVR_CONSOLE_SINK)

VOID DebugSink(const CHAR8 *Format, va_list Args) {
  if (SystemTable == NULL || SystemTable->ConOut == NULL) {
    return;
  }
  CHAR16 Line[2 * kMessageChars];
  UINTN Out = 0;
  EmitMessage(Format, Args, [&](CHAR16 C) { Line[Out++] = C; });
  Line[Out] = 0;
  SystemTable->ConOut->OutputString(SystemTable->ConOut, Line);
}

#elif defined(KVR_SERIAL_SINK)

namespace {

// COM1, the 16550 UART the platform has set up. The sink only writes bytes: the line
// settings stay the platform's.
constexpr UINT16 kCom1 = 0x3F8;
constexpr UINT16 kLineStatusRegister = kCom1 + 5;
constexpr UINT8 kTransmitHoldingEmpty = 0x20;
// Line-status reads per byte before the port counts as stuck: about 65 ms at the 1 us an
// I/O port read takes, longer than one byte lasts at 300 baud.
constexpr UINTN kLineStatusPolls = 0x10000;

// Set once the port stayed busy through a whole wait: from then on every message is
// dropped, so a dead port costs the run one wait, not one per byte.
BOOLEAN gSerialStuck = FALSE;

UINT8 PortRead8(UINT16 Port) {
  UINT8 Value;
  __asm__ volatile("inb %1, %0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

VOID PortWrite8(UINT16 Port, UINT8 Value) {
  __asm__ volatile("outb %0, %1" : : "a"(Value), "Nd"(Port));
}

VOID SerialPut(CHAR16 C) {
  if (gSerialStuck) {
    return;
  }
  // A serial terminal is an ASCII device.
  const UINT8 Byte = C < 0x80 ? (UINT8)C : (UINT8)'?';
  for (UINTN Poll = 0; Poll < kLineStatusPolls; Poll++) {
    if ((PortRead8(kLineStatusRegister) & kTransmitHoldingEmpty) != 0) {
      PortWrite8(kCom1, Byte);
      return;
    }
  }
  gSerialStuck = TRUE;
}

}  // namespace

VOID DebugSink(const CHAR8 *Format, va_list Args) {
  EmitMessage(Format, Args, SerialPut);
}

#else

VOID DebugSink(const CHAR8 *Format, va_list Args) {
  (VOID) Format;
  (VOID) Args;
}

BOOLEAN DebugPrintEnabled() { return FALSE; }

#endif
