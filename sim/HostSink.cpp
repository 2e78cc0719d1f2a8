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

std::string ToUtf8(std::u16string_view Text) {
  std::string out;
  out.reserve(Text.size());
  for (char16_t c : Text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace sim

VOID DebugSink(const CHAR8 *Format, va_list Args) {
  // One formatting pass for a message that fits the buffer (nearly every one), a second for
  // a longer one.
  CHAR16 buffer[256];
  const UINTN length = KvrVFormat(buffer, sizeof buffer / sizeof buffer[0], Format, Args);
  std::string message;
  if (length < sizeof buffer / sizeof buffer[0]) {
    message = sim::ToUtf8(std::u16string_view(buffer, length));
  } else {
    std::u16string text(length + 1, u'\0');
    KvrVFormat(text.data(), text.size(), Format, Args);
    text.resize(length);
    message = sim::ToUtf8(text);
  }
  if (sim::EchoEnabled()) {
    std::fputs(message.c_str(), stderr);
  }
  sim::Messages().push_back(std::move(message));
}
