// The driver's own formatter, following the EDK II print conventions.
#include "Platform.h"

namespace {

// Longest string argument, width and number expansion the formatter will produce.
constexpr UINTN kMaxStringArgument = 4096;
constexpr UINTN kMaxWidth = 256;
constexpr UINTN kMaxDigits = 24;  // 2^64 in decimal has 20 digits

// Names of the statuses %r prints, one after another, each ended by its NUL: the six
// warnings from EFI_SUCCESS on, then the 33 errors from EFI_LOAD_ERROR on.
constexpr UINTN kWarningCount = 6;
constexpr UINTN kErrorCount = 33;
constexpr CHAR8 kStatusNames[] =
    "Success\0Warning Unknown Glyph\0Warning Delete Failure\0Warning Write Failure\0"
    "Warning Buffer Too Small\0Warning Stale Data\0"
    "Load Error\0Invalid Parameter\0Unsupported\0Bad Buffer Size\0Buffer Too Small\0"
    "Not Ready\0Device Error\0Write Protected\0Out of Resources\0Volume Corrupt\0"
    "Volume Full\0No Media\0Media changed\0Not Found\0Access Denied\0No Response\0"
    "No mapping\0Time out\0Not started\0Already started\0Aborted\0ICMP Error\0"
    "TFTP Error\0Protocol Error\0Incompatible Version\0Security Violation\0CRC Error\0"
    "End of Media\0Reserved (29)\0Reserved (30)\0End of File\0Invalid Language\0"
    "Compromised Data";

constexpr UINTN NameCount(const CHAR8 *Names, UINTN Size) {
  UINTN Count = 0;
  for (UINTN I = 0; I < Size; I++) {
    Count += Names[I] == 0 ? 1 : 0;
  }
  return Count;
}
static_assert(NameCount(kStatusNames, sizeof(kStatusNames)) == kWarningCount + kErrorCount);

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

// Characters of either width: 1 (ASCII) or 2 (UCS-2) bytes each.
UINT16 CharAt(const VOID *Text, UINTN Width, UINTN Index) {
  return Width == 1 ? (UINT16)((const CHAR8 *)Text)[Index] : ((const UINT16 *)Text)[Index];
}

struct Directive {
  BOOLEAN LeftJustify = FALSE;
  BOOLEAN ZeroPad = FALSE;
  UINTN Width = 0;
};

// Emits Text (Length characters of Width bytes) padded to the width.
void EmitPadded(Output &Out, const Directive &S, const VOID *Text, UINTN Width, UINTN Length) {
  UINTN Pad = S.Width > Length ? S.Width - Length : 0;
  if (!S.LeftJustify) {
    Out.Repeat(u' ', Pad);
  }
  for (UINTN I = 0; I < Length; I++) {
    Out.Put(CharAt(Text, Width, I));
  }
  if (S.LeftJustify) {
    Out.Repeat(u' ', Pad);
  }
}

void EmitString(Output &Out, const Directive &S, const VOID *Text, UINTN Width) {
  if (Text == NULL) {
    static const CHAR8 kNull[] = "<null string>";
    EmitPadded(Out, S, kNull, 1, sizeof(kNull) - 1);
    return;
  }
  UINTN Length = 0;
  while (Length < kMaxStringArgument && CharAt(Text, Width, Length) != 0) {
    Length++;
  }
  EmitPadded(Out, S, Text, Width, Length);
}

void EmitNumber(Output &Out, const Directive &S, UINT64 Magnitude, BOOLEAN Negative, UINT32 Radix,
                BOOLEAN UpperCase) {
  CHAR8 Reversed[kMaxDigits];
  UINTN Count = 0;
  do {
    const UINT8 Digit = (UINT8)(Magnitude % Radix);
    Reversed[Count++] = (CHAR8)(Digit < 10 ? '0' + Digit : (UpperCase ? 'A' : 'a') + Digit - 10);
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
    EmitString(Out, S, Name, 1);
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
UINTN FormatList(CHAR16 *Buffer, UINTN BufferChars, const FmtChar *Format, va_list Args) {
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
        EmitString(Out, S, va_arg(Args, const CHAR16 *), sizeof(CHAR16));
        break;
      case 'a':
        EmitString(Out, S, va_arg(Args, const CHAR8 *), sizeof(CHAR8));
        break;
      case 'c': {
        CHAR16 C = (CHAR16)(UINT16)va_arg(Args, int);
        EmitPadded(Out, S, &C, sizeof(CHAR16), 1);
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

// Formats from a copy of Args, so that the caller's list can be used again.
template <typename FmtChar>
UINTN FormatImpl(CHAR16 *Buffer, UINTN BufferChars, const FmtChar *Format, va_list Args) {
  va_list Copy;
  va_copy(Copy, Args);
  UINTN Length = FormatList(Buffer, BufferChars, Format, Copy);
  va_end(Copy);
  return Length;
}

}  // namespace

const CHAR8 *KvrStatusName(EFI_STATUS Status) {
  UINT64 Index;
  if (EFI_ERROR(Status)) {
    const UINT64 Code = Status & ~EFI_MAX_BIT;
    if (Code < 1 || Code > kErrorCount) {
      return NULL;
    }
    Index = kWarningCount + Code - 1;
  } else {
    if (Status >= kWarningCount) {
      return NULL;
    }
    Index = Status;
  }
  // Past Index names: at most kWarningCount + kErrorCount - 1 of them, inside the table.
  const CHAR8 *Name = kStatusNames;
  for (; Index > 0; Index--) {
    while (*Name != 0) {
      Name++;
    }
    Name++;
  }
  return Name;
}

UINTN KvrVFormat(CHAR16 *Buffer, UINTN BufferChars, const CHAR8 *Format, va_list Args) {
  return FormatImpl(Buffer, BufferChars, Format, Args);
}

UINTN KvrVFormat(CHAR16 *Buffer, UINTN BufferChars, const CHAR16 *Format, va_list Args) {
  return FormatImpl(Buffer, BufferChars, Format, Args);
}

UINTN KvrFormat(CHAR16 *Buffer, UINTN BufferChars, const CHAR8 *Format, ...) {
  va_list Args;
  va_start(Args, Format);
  UINTN Length = KvrVFormat(Buffer, BufferChars, Format, Args);
  va_end(Args);
  return Length;
}
