// The host build's debug sink: formats each message with the driver's own formatter and
// keeps it for the tests.
#include <cstdio>
#include <cstdlib>

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

std::string ToUtf8(const std::u16string &Text) {
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
  UINTN length = KvrVFormat(nullptr, 0, Format, Args);
  std::u16string text(length + 1, u'\0');
  KvrVFormat(text.data(), text.size(), Format, Args);
  text.resize(length);
  std::string message = sim::ToUtf8(text);
  if (sim::EchoEnabled()) {
    std::fputs(message.c_str(), stderr);
  }
  sim::Messages().push_back(std::move(message));
}
