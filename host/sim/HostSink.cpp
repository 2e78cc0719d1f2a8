// The host build's debug sink: formats each message with the driver's own formatter and
// keeps it for the tests.
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/Platform.h"
#include "sim/Log.h"

namespace sim {
namespace {

std::vector<std::string> &Messages() {
  static std::vector<std::string> messages;
  return messages;
}

bool EchoEnabled() {
  static const bool echo = [] {
    const char *value = std::getenv("KVR_LOG");
    return value != nullptr && value[0] != '\0' && value[0] != '0';
  }();
  return echo;
}

}  // namespace

const std::vector<std::string> &CapturedLog() { return Messages(); }

void ClearCapturedLog() { Messages().clear(); }

std::vector<std::string> TakeCapturedLog() { return std::exchange(Messages(), {}); }

// The sink converts every message of every run, nearly all of them ASCII: those take two
// straight passes, the others are sized once and written in place.
std::string ToUtf8(std::u16string_view Text) {
  char16_t above = 0;
  for (char16_t c : Text) {
    above |= c;
  }
  if (above < 0x80) {
    return std::string(Text.begin(), Text.end());
  }
  size_t bytes = 0;
  for (char16_t c : Text) {
    bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
  }
  std::string out(bytes, '\0');
  char *p = out.data();
  for (char16_t c : Text) {
    if (c < 0x80) {
      *p++ = static_cast<char>(c);
    } else if (c < 0x800) {
      *p++ = static_cast<char>(0xC0 | (c >> 6));
      *p++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *p++ = static_cast<char>(0xE0 | (c >> 12));
      *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *p++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace sim

namespace {

// The formatter's longest string argument (platform/Format.cpp): a text this long or longer
// goes through the formatter, which cuts it there.
constexpr UINTN kLongestPlainText = 4096;

// The text of a message handed over finished, as the log channels hand theirs: the format
// "%s" with a text shorter than the formatter's limit, which formatting would copy unchanged.
// Null for any other message. *Ascii tells whether every character is below 0x80.
const CHAR16 *FinishedText(const CHAR8 *Format, va_list Args, UINTN *Length, bool *Ascii) {
  if (Format[0] != '%' || Format[1] != 's' || Format[2] != '\0') {
    return nullptr;
  }
  va_list Copy;
  va_copy(Copy, Args);
  const CHAR16 *Text = va_arg(Copy, const CHAR16 *);
  va_end(Copy);
  if (Text == nullptr) {
    return nullptr;
  }
  UINTN Chars = 0;
  CHAR16 Above = 0;
  while (Chars < kLongestPlainText && Text[Chars] != 0) {
    Above |= Text[Chars];
    Chars++;
  }
  *Length = Chars;
  *Ascii = Above < 0x80;
  return Chars < kLongestPlainText ? Text : nullptr;
}

// The length of a format with no directive and only ASCII characters, which formatting
// would copy unchanged, as most of the driver's DebugMessage lines are; 0 for any other.
constexpr UINTN kLongestPlainFormat = 256;
UINTN PlainFormatLength(const CHAR8 *Format) {
  for (UINTN Length = 0; Length < kLongestPlainFormat; Length++) {
    const unsigned char C = static_cast<unsigned char>(Format[Length]);
    if (C == '\0') {
      return Length;
    }
    if (C == '%' || C >= 0x80) {
      return 0;
    }
  }
  return 0;
}

// Room set aside at the first message after the log is taken: more than an update run logs.
constexpr size_t kMessagesPerRun = 128;

}  // namespace

VOID DebugSink(const CHAR8 *Format, va_list Args) {
  std::string message;
  UINTN length = 0;
  bool ascii = false;
  if (const CHAR16 *text = FinishedText(Format, Args, &length, &ascii)) {
    message = ascii ? std::string(text, text + length)
                    : sim::ToUtf8(std::u16string_view(text, length));
  } else if ((length = PlainFormatLength(Format)) != 0) {
    message.assign(Format, length);
  } else {
    // One formatting pass for a message that fits the buffer (nearly every one), a second
    // for a longer one.
    CHAR16 buffer[256];
    length = KvrVFormat(buffer, sizeof buffer / sizeof buffer[0], Format, Args);
    if (length < sizeof buffer / sizeof buffer[0]) {
      message = sim::ToUtf8(std::u16string_view(buffer, length));
    } else {
      std::u16string text(length + 1, u'\0');
      KvrVFormat(text.data(), text.size(), Format, Args);
      text.resize(length);
      message = sim::ToUtf8(text);
    }
  }
  if (sim::EchoEnabled()) {
    std::fputs(message.c_str(), stderr);
  }
  std::vector<std::string> &messages = sim::Messages();
  if (messages.capacity() == 0) {
    messages.reserve(kMessagesPerRun);
  }
  messages.push_back(std::move(message));
}

namespace {
bool gVerbose = false;
}  // namespace

// The host build's debug switch: off, as in the image a platform ships, unless a test turns
// it on.
BOOLEAN DebugPrintEnabled() { return gVerbose ? TRUE : FALSE; }

void sim::SetDebugVerbose(bool on) { gVerbose = on; }
