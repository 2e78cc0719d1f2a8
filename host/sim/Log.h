// Capture of the driver's debug output in the host build.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Every message the driver handed to its debug sink since the last clear, one entry per
// message, as UTF-8. Set KVR_LOG=1 in the environment to also echo them to stderr.
const std::vector<std::string> &CapturedLog();
void ClearCapturedLog();
// The messages captured so far, moved out: the capture is empty afterwards.
std::vector<std::string> TakeCapturedLog();

// The debug switch DebugVerbose asks: off by default, as in the shipped image.
void SetDebugVerbose(bool on);

// UCS-2 to UTF-8, for messages and test output.
std::string ToUtf8(std::u16string_view Text);

}  // namespace sim
