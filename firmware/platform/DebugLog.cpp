// Debug log channels. A message is built, handed to the sink and forgotten: nothing
// here can change the course of the update.
#include "Platform.h"

namespace {

// Longest prefix, a bound for measuring it.
constexpr UINTN kMaxPrefix = 32;

const CHAR16 *PrefixFor(UINT32 Level) {
  switch (Level) {
    case KVR_LEVEL_ERROR:
      return u"KvrFmpDriver Error:";
    case KVR_LEVEL_WARNING:
      return u"KvrFmpDriver Warning: ";
    default:
      return u"KvrFmpDriver: ";
  }
}

VOID SinkCall(const CHAR8 *Format, ...) {
  va_list Args;
  va_start(Args, Format);
  DebugSink(Format, Args);
  va_end(Args);
}

VOID LogLevelArgs(UINT32 Level, BOOLEAN WarnWhenDropped, const CHAR8 *Format, ...);

VOID LogLevel(UINT32 Level, BOOLEAN WarnWhenDropped, const CHAR8 *Format, va_list Args) {
  const CHAR16 *Prefix = PrefixFor(Level);
  UINTN PrefixLength = KvrStrLen(Prefix, kMaxPrefix);
  UINTN TextLength = KvrVFormat(NULL, 0, Format, Args);
  UINTN Chars = PrefixLength + TextLength + 1;

  CHAR16 *printStr = (CHAR16 *)AllocatePool(Chars * sizeof(CHAR16));
  if (printStr == NULL) {
    // The warning about a dropped message may itself be dropped, but never warns again.
    if (WarnWhenDropped) {
      LogLevelArgs(KVR_LEVEL_WARNING, FALSE, "Trying to free NULL pointer %s %p\n", u"printStr",
                   (VOID *)NULL);
    }
    return;
  }
  KvrCopyMem(printStr, Prefix, PrefixLength * sizeof(CHAR16));
  KvrVFormat(printStr + PrefixLength, TextLength + 1, Format, Args);
  SinkCall("%s", printStr);
  FreePool(printStr);
}

VOID LogLevelArgs(UINT32 Level, BOOLEAN WarnWhenDropped, const CHAR8 *Format, ...) {
  va_list Args;
  va_start(Args, Format);
  LogLevel(Level, WarnWhenDropped, Format, Args);
  va_end(Args);
}

}  // namespace

VOID DebugMessage(const CHAR8 *Format, ...) {
  va_list Args;
  va_start(Args, Format);
  DebugSink(Format, Args);
  va_end(Args);
}

#define KVR_LOG_CHANNEL(Name, Level)              \
  VOID Name(const CHAR8 *Format, ...) {           \
    va_list Args;                                 \
    va_start(Args, Format);                       \
    LogLevel(Level, TRUE, Format, Args);          \
    va_end(Args);                                 \
  }

KVR_LOG_CHANNEL(LogInfo, KVR_LEVEL_INFO)
KVR_LOG_CHANNEL(LogTrace, KVR_LEVEL_TRACE)
KVR_LOG_CHANNEL(LogWarning, KVR_LEVEL_WARNING)
KVR_LOG_CHANNEL(LogError, KVR_LEVEL_ERROR)

VOID DebugVerbose(const CHAR8 *Format, ...) {
  if (!DebugPrintEnabled()) {
    return;
  }
  va_list Args;
  va_start(Args, Format);
  DebugSink(Format, Args);
  va_end(Args);
}
