// The driver's own formatter, following the EDK II print conventions.
#include "Platform.h"

namespace {

// Longest string argument, width and number expansion the formatter will produce.
constexpr UINTN kMaxStringArgument = 4096;
constexpr UINTN kMaxWidth = 256;
constexpr UINTN kMaxDigits = 24;  // 2^64 in decimal has 20 digits

const CHAR8 *const kWarningNames[] = {
    "Success",
    "Warning Unknown Glyph",
    "Warning Delete Failure",
    "Warning Write Failure",
    "Warning Buffer Too Small",
    "Warning Stale Data",
};

const CHAR8 *const kErrorNames[] = {
    "Load Error",         "Invalid Parameter", "Unsupported",          "Bad Buffer Size",
    "Buffer Too Small",   "Not Ready",         "Device Error",         "Write Protected",
    "Out of Resources",   "Volume Corrupt",    "Volume Full",          "No Media",
    "Media changed",      "Not Found",         "Access Denied",        "No Response",
    "No mapping",         "Time out",          "Not started",          "Already started",
    "Aborted",            "ICMP Error",        "TFTP Error",           "Protocol Error",
    "Incompatible Version", "Security Violation", "CRC Error",         "End of Media",
    "Reserved (29)",      "Reserved (30)",     "End of File",          "Invalid Language",
    "Compromised Data",
};
static_assert(sizeof(kErrorNames) / sizeof(kErrorNames[0]) == 33);

// Collects output; counts everything, stores what fits.
struct Output {
  CHAR16 *Buffer;
  UINTN Capacity;
  UINTN Length;

  void Put(CHAR16 C) {
    if (Buffer != NULL && Length + 1 < Capacity) {
      Buffer[Length] = C;
    }
    Length++;
  }
  void Repeat(CHAR16 C, UINTN Count) {
    for (UINTN I = 0; I < Count; I++) {
      Put(C);
    }
  }
  void Terminate() {
    if (Buffer != NULL && Capacity > 0) {
      Buffer[Length < Capacity ? Length : Capacity - 1] = 0;
    }
  }
};

struct Directive {
  BOOLEAN LeftJustify = FALSE;
  BOOLEAN ZeroPad = FALSE;
  UINTN Width = 0;
};

// Emits Text (Length characters, any character type) padded to the width.
template <typename CharT>
void EmitPadded(Output &Out, const Directive &S, const CharT *Text, UINTN Length) {
  UINTN Pad = S.Width > Length ? S.Width - Length : 0;
  if (!S.LeftJustify) {
    Out.Repeat(u' ', Pad);
  }
  for (UINTN I = 0; I < Length; I++) {
    Out.Put((CHAR16)(UINT16)Text[I]);
  }
  if (S.LeftJustify) {
    Out.Repeat(u' ', Pad);
  }
}

template <typename CharT>
void EmitString(Output &Out, const Directive &S, const CharT *Text) {
  if (Text == NULL) {
    static const CHAR8 kNull[] = "<null string>";
    EmitPadded(Out, S, kNull, sizeof(kNull) - 1);
    return;
  }
  UINTN Length = 0;
  while (Length < kMaxStringArgument && Text[Length] != 0) {
    Length++;
  }
  EmitPadded(Out, S, Text, Length);
}

void EmitNumber(Output &Out, const Directive &S, UINT64 Magnitude, BOOLEAN Negative, UINT32 Radix,
                BOOLEAN UpperCase) {
  const CHAR8 *Digits = UpperCase ? "0123456789ABCDEF" : "0123456789abcdef";
  CHAR8 Reversed[kMaxDigits];
  UINTN Count = 0;
  do {
    Reversed[Count++] = Digits[Magnitude % Radix];
    Magnitude /= Radix;
  } while (Magnitude != 0 && Count < kMaxDigits);

  UINTN Length = Count + (Negative ? 1 : 0);
  UINTN Pad = S.Width > Length ? S.Width - Length : 0;
  if (!S.LeftJustify && !S.ZeroPad) {
    Out.Repeat(u' ', Pad);
  }
  if (Negative) {
    Out.Put(u'-');
  }
  if (!S.LeftJustify && S.ZeroPad) {
    Out.Repeat(u'0', Pad);
  }
  while (Count > 0) {
    Out.Put((CHAR16)Reversed[--Count]);
  }
  if (S.LeftJustify) {
    Out.Repeat(u' ', Pad);
  }
}

void EmitStatus(Output &Out, const Directive &S, EFI_STATUS Status) {
  const CHAR8 *Name = KvrStatusName(Status);
  if (Name != NULL) {
    EmitString(Out, S, Name);
    return;
  }
  Directive Hex = S;
  if (Hex.Width < 8) {
    Hex.Width = 8;
    Hex.ZeroPad = TRUE;
  }
  EmitNumber(Out, Hex, Status, FALSE, 16, TRUE);
}

template <typename FmtChar>
UINTN FormatImpl(CHAR16 *Buffer, UINTN BufferChars, const FmtChar *Format, va_list Args) {
  Output Out{Buffer, BufferChars, 0};
  if (Format == NULL) {
    Out.Terminate();
    return 0;
  }
  for (const FmtChar *P = Format; *P != 0; P++) {
    if (*P != '%') {
      Out.Put((CHAR16)(UINT16)*P);
      continue;
    }
    const FmtChar *Start = P;
    Directive S;
    BOOLEAN Long = FALSE;
    P++;
    for (;; P++) {
      if (*P == '-') {
        S.LeftJustify = TRUE;
      } else if (*P == '0') {
        S.ZeroPad = TRUE;
      } else {
        break;
      }
    }
    if (*P == '*') {
      int Width = va_arg(Args, int);
      S.Width = Width > 0 ? (UINTN)Width : 0;
      P++;
    } else {
      while (*P >= '0' && *P <= '9') {
        S.Width = S.Width * 10 + (UINTN)(*P - '0');
        if (S.Width > kMaxWidth) {
          S.Width = kMaxWidth;
        }
        P++;
      }
    }
    if (S.Width > kMaxWidth) {
      S.Width = kMaxWidth;
    }
    while (*P == 'l' || *P == 'L') {
      Long = TRUE;
      P++;
    }
    switch (*P) {
      case 'd':
      case 'i': {
        INT64 Value = Long ? va_arg(Args, INT64) : (INT64)va_arg(Args, int);
        BOOLEAN Negative = Value < 0;
        UINT64 Magnitude = Negative ? (UINT64)0 - (UINT64)Value : (UINT64)Value;
        EmitNumber(Out, S, Magnitude, Negative, 10, FALSE);
        break;
      }
      case 'u': {
        UINT64 Value = Long ? va_arg(Args, UINT64) : (UINT64)va_arg(Args, unsigned int);
        EmitNumber(Out, S, Value, FALSE, 10, FALSE);
        break;
      }
      case 'x':
      case 'X': {
        UINT64 Value = Long ? va_arg(Args, UINT64) : (UINT64)va_arg(Args, unsigned int);
        if (*P == 'X' && S.Width > 0) {
          S.ZeroPad = TRUE;  // as in EDK II, %X pads with zeros to its width
        }
        EmitNumber(Out, S, Value, FALSE, 16, *P == 'X');
        break;
      }
      case 'p': {
        UINT64 Value = (UINT64)(UINTN)va_arg(Args, VOID *);
        if (S.Width > 0) {
          S.ZeroPad = TRUE;
        }
        EmitNumber(Out, S, Value, FALSE, 16, TRUE);
        break;
      }
      case 's':
      case 'S':
        EmitString(Out, S, va_arg(Args, const CHAR16 *));
        break;
      case 'a':
        EmitString(Out, S, va_arg(Args, const CHAR8 *));
        break;
      case 'c': {
        CHAR16 C = (CHAR16)(UINT16)va_arg(Args, int);
        EmitPadded(Out, S, &C, 1);
        break;
      }
      case 'r':
        EmitStatus(Out, S, va_arg(Args, EFI_STATUS));
        break;
      case '%':
        Out.Put(u'%');
        break;
      case 0:
        // A lone '%' at the end: print what was there and stop.
        for (const FmtChar *Q = Start; Q < P; Q++) {
          Out.Put((CHAR16)(UINT16)*Q);
        }
        Out.Terminate();
        return Out.Length;
      default:
        // Unknown directive: print it as written.
        for (const FmtChar *Q = Start; Q <= P; Q++) {
          Out.Put((CHAR16)(UINT16)*Q);
        }
        break;
    }
  }
  Out.Terminate();
  return Out.Length;
}

}  // namespace

const CHAR8 *KvrStatusName(EFI_STATUS Status) {
  if (EFI_ERROR(Status)) {
    UINT64 Code = Status & ~EFI_MAX_BIT;
    if (Code >= 1 && Code <= 33) {
      return kErrorNames[Code - 1];
    }
    return NULL;
  }
  if (Status <= 5) {
    return kWarningNames[Status];
  }
  return NULL;
}

UINTN KvrVFormat(CHAR16 *Buffer, UINTN BufferChars, const CHAR8 *Format, va_list Args) {
  va_list Copy;
  va_copy(Copy, Args);
  UINTN Length = FormatImpl(Buffer, BufferChars, Format, Copy);
  va_end(Copy);
  return Length;
}

UINTN KvrVFormat(CHAR16 *Buffer, UINTN BufferChars, const CHAR16 *Format, va_list Args) {
  va_list Copy;
  va_copy(Copy, Args);
  UINTN Length = FormatImpl(Buffer, BufferChars, Format, Copy);
  va_end(Copy);
  return Length;
}

UINTN KvrFormat(CHAR16 *Buffer, UINTN BufferChars, const CHAR8 *Format, ...) {
  va_list Args;
  va_start(Args, Format);
  UINTN Length = KvrVFormat(Buffer, BufferChars, Format, Args);
  va_end(Args);
  return Length;
}
