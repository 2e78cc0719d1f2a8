// kvr-scenario: runs the real driver against a simulated platform and camera and shows the
// update as a platform would see it: progress, result, time, and the camera afterwards.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/Platform.h"
#include "tools/CapsuleFormat.h"
#include "tools/Scenario.h"
#include "tools/UsbCapture.h"

namespace {

const char kUsage[] =
    "usage: kvr-scenario [--capsule FILE] [--path hob|capsule-on-ram|insyde]\n"
    "                    [--camera flash|dfu-interface|dfu-capable|none|other-ids|stalling|\n"
    "                              dfu-partial|dfu-rom]\n"
    "                    [--power-cut TT.RR[:N]] [--other other-rom]... [--variables FILE]\n"
    "                    [--no-progress] [--log] [--pcap FILE]\n"
    "       kvr-scenario [--capsule FILE] [--path ...] [--write-capsule FILE]\n"
    "                    [--write-payload FILE] [--write-dfu-image FILE]\n"
    "  Hands the capsule (built by kvrcap; default: a built-in sample for camera 3B5A:4C15)\n"
    "  to the driver on the chosen path, with the chosen camera on the USB bus, calls the\n"
    "  driver's entry point and prints the progress, the returned status, the virtual time\n"
    "  taken and whether the camera now holds the image. --log prints the driver's log.\n"
    "  --power-cut cuts the camera's power at the request of bmRequestType TT and bRequest\n"
    "  RR (hex) after N of them were answered (camera/Power.cpp says what survives).\n"
    "  --camera dfu-rom is a camera stranded in its DFU ROM device, as such a cut in a DFU\n"
    "  download leaves it.\n"
    "  --other other-rom puts another device on the bus after the camera (on the next port):\n"
    "  another model of the chip family (3B5A:9999) stranded in its DFU ROM device 3B5A:4C00;\n"
    "  an `other:` line then tells what became of it and the requests that reached it.\n"
    "  --variables keeps the platform's non-volatile variable store in FILE, as it survives a\n"
    "  reset: read before the run (no file: an empty store), written after it. Two runs with\n"
    "  the same FILE are two boots of one machine (the in-flight record of a DFU update cut\n"
    "  short by --power-cut, then --camera dfu-rom).\n"
    "  --pcap writes every control transfer of the run to FILE as a USB capture for\n"
    "  Wireshark or tshark (Linux usbmon, link type 220; timestamps in virtual time); a\n"
    "  capture that cannot be written is reported and the run goes on unchanged.\n"
    "  Exit status 0 when the driver returned EFI_SUCCESS, the camera holds the image and no\n"
    "  other device was written; 2 on a bad argument or a variable file that cannot be read\n"
    "  or written.\n"
    "  The --write options write files instead of running, for runs in real firmware:\n"
    "  --write-capsule the capsule (the built-in sample for the path: an FMP capsule for\n"
    "  insyde, a firmware volume capsule otherwise), --write-payload the payload the driver's\n"
    "  own location code finds in it, --write-dfu-image the bytes of that payload a DFU\n"
    "  download sends. Exit status 0 when every file was written.\n";

bool WriteFile(const std::string &path, const capfmt::Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
  out.close();
  if (!out) {
    std::fprintf(stderr, "kvr-scenario: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

// Writes the capsule and what the driver finds in it: the payload, and the bytes a DFU
// download sends of it. Returns the exit status.
int WriteFiles(const capfmt::Bytes &capsule, scenario::Path path, const std::string &capsuleOut,
               const std::string &payloadOut, const std::string &dfuOut) {
  if (!capsuleOut.empty() && !WriteFile(capsuleOut, capsule)) return 1;
  if (payloadOut.empty() && dfuOut.empty()) return 0;
  capfmt::Inspection found = capfmt::Inspect(capsule, path == scenario::Path::Insyde);
  if (!found.usable()) {
    std::fprintf(stderr, "kvr-scenario: the driver finds no usable image in the capsule\n");
    for (const std::string &problem : found.problems) std::fprintf(stderr, "  %s\n", problem.c_str());
    return 1;
  }
  auto start = capsule.begin() + (ptrdiff_t)(found.imageOffset + found.headerSize);
  capfmt::Bytes payload(start, start + (ptrdiff_t)found.payloadLength);
  if (!payloadOut.empty() && !WriteFile(payloadOut, payload)) return 1;
  if (!dfuOut.empty()) {
    if (!found.dfu || !found.dfu->lengthFits || found.dfu->length <= 0 ||
        (uint64_t)found.dfu->length > payload.size()) {
      std::fprintf(stderr, "kvr-scenario: a DFU download would send nothing of this payload\n");
      return 1;
    }
    payload.resize((size_t)found.dfu->length);
    if (!WriteFile(dfuOut, payload)) return 1;
  }
  return 0;
}

// On a terminal the bar redraws in place; into a file or pipe each report is a line.
void Bar(UINTN percent) {
  constexpr int kWidth = 40;
  static const bool terminal = isatty(fileno(stdout));
  int filled = (int)(percent > 100 ? 100 : percent) * kWidth / 100;
  std::printf("%s  [%.*s%*s] %3u%%", terminal ? "\r" : "", filled,
              "########################################", kWidth - filled, "", (unsigned)percent);
  if (!terminal) std::printf("\n");
  std::fflush(stdout);
}

std::string StatusText(EFI_STATUS status) {
  const char *name = KvrStatusName(status);
  char text[64];
  std::snprintf(text, sizeof text, "%s (0x%llX)", name ? name : "unnamed status",
                (unsigned long long)status);
  return text;
}

// What the command line asks for.
struct Request {
  scenario::Options options;
  std::string capsulePath;
  bool showLog = false;
  std::string capsuleOut, payloadOut, dfuOut;
  std::string pcapPath;
  std::vector<std::string> otherNames;  // --other, in order
  std::string variablesPath;
  std::vector<sim::Platform::StoredVariable> variables;

  bool WritesFiles() const { return !capsuleOut.empty() || !payloadOut.empty() || !dfuOut.empty(); }
};

// Reads the command line into request. Returns the exit status when the program ends here
// (after --help, or on a bad argument), nothing when it goes on.
std::optional<int> ParseArguments(int argc, char **argv, Request *request) {
  scenario::Options &options = request->options;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&](const char *option) -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kvr-scenario: %s needs a value\n", option);
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--capsule") {
      request->capsulePath = value("--capsule");
    } else if (a == "--path") {
      std::string v = value("--path");
      if (!scenario::ParsePath(v, &options.path)) {
        std::fprintf(stderr, "kvr-scenario: unknown path '%s'\n", v.c_str());
        return 2;
      }
    } else if (a == "--camera") {
      std::string v = value("--camera");
      if (!scenario::ParseCamera(v, &options.camera)) {
        std::fprintf(stderr, "kvr-scenario: unknown camera '%s'\n", v.c_str());
        return 2;
      }
    } else if (a == "--power-cut") {
      const std::string v = value("--power-cut");
      const std::optional<camera::PowerCutRule> rule = camera::ParsePowerCut(v);
      if (!rule) {
        std::fprintf(stderr, "kvr-scenario: --power-cut takes TT.RR or TT.RR:N, not '%s'\n",
                     v.c_str());
        return 2;
      }
      options.adjustCamera = [rule](camera::Camera &cam) { cam.Misbehave().powerCut = rule; };
    } else if (a == "--other") {
      const std::string v = value("--other");
      scenario::Other other;
      if (!scenario::ParseOther(v, &other)) {
        std::fprintf(stderr, "kvr-scenario: unknown other device '%s' (other-rom)\n", v.c_str());
        return 2;
      }
      options.others.push_back(scenario::MakeOther(other));
      request->otherNames.push_back(v);
    } else if (a == "--variables") {
      request->variablesPath = value("--variables");
    } else if (a == "--no-progress") {
      options.progressProtocol = false;
    } else if (a == "--log") {
      request->showLog = true;
    } else if (a == "--pcap") {
      request->pcapPath = value("--pcap");
    } else if (a == "--write-capsule") {
      request->capsuleOut = value("--write-capsule");
    } else if (a == "--write-payload") {
      request->payloadOut = value("--write-payload");
    } else if (a == "--write-dfu-image") {
      request->dfuOut = value("--write-dfu-image");
    } else {
      std::fprintf(stderr, "kvr-scenario: unknown option '%s' (try --help)\n", a.c_str());
      return 2;
    }
  }
  return std::nullopt;
}

// The capsule file, or without one the built-in sample for the path (its name then says
// so). False, reported, when the file cannot be read.
bool LoadCapsule(Request *request, capfmt::Bytes *capsule) {
  if (request->capsulePath.empty()) {
    *capsule = scenario::SampleCapsule(request->options.path);
    request->capsulePath = "built-in sample";
    return true;
  }
  std::ifstream in(request->capsulePath, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "kvr-scenario: cannot read %s\n", request->capsulePath.c_str());
    return false;
  }
  capsule->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// Reads the variable store of --variables into the request; a missing file is an empty
// store. False, reported, when the file cannot be read or understood.
bool LoadVariables(Request *request) {
  if (request->variablesPath.empty()) {
    return true;
  }
  request->options.nonVolatile = &request->variables;
  std::ifstream in(request->variablesPath, std::ios::binary);
  if (!in) {
    if (access(request->variablesPath.c_str(), F_OK) != 0 && errno == ENOENT) {
      return true;
    }
    std::fprintf(stderr, "kvr-scenario: cannot read %s\n", request->variablesPath.c_str());
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string error;
  if (!scenario::ParseVariables(text, &request->variables, &error)) {
    std::fprintf(stderr, "kvr-scenario: %s: %s\n", request->variablesPath.c_str(), error.c_str());
    return false;
  }
  return true;
}

// Writes the store as the run left it back to --variables. False, reported, when it cannot.
bool SaveVariables(const Request &request) {
  if (request.variablesPath.empty()) {
    return true;
  }
  std::string text, error;
  if (!scenario::VariablesText(request.variables, &text, &error)) {
    std::fprintf(stderr, "kvr-scenario: %s: %s\n", request.variablesPath.c_str(), error.c_str());
    return false;
  }
  if (!WriteFile(request.variablesPath, capfmt::Bytes(text.begin(), text.end()))) {
    return false;
  }
  std::printf("variables: %s, %zu non-volatile\n", request.variablesPath.c_str(),
              request.variables.size());
  return true;
}

// Calls the driver's entry point with the capsule, showing what it hands over and the
// progress it reports.
scenario::Outcome RunDriver(const capfmt::Bytes &capsule, const std::string &capsuleName,
                            const std::vector<std::string> &otherNames,
                            scenario::Options &options) {
  std::printf("capsule:  %s, %zu bytes, handed over by %s\n", capsuleName.c_str(), capsule.size(),
              scenario::Name(options.path));
  std::printf("camera:   %s\n", scenario::Name(options.camera));
  for (const std::string &other : otherNames) {
    std::printf("other:    %s\n", other.c_str());
  }
  std::printf("progress:\n");
  bool anyProgress = false;
  options.onProgress = [&](UINTN percent) {
    anyProgress = true;
    Bar(percent);
  };
  scenario::Outcome outcome = scenario::Run(capsule, options);
  if (!anyProgress) {
    std::printf("  (none reported)\n");
  } else if (isatty(fileno(stdout))) {
    std::printf("\n");
  }
  return outcome;
}

void PrintLog(const std::vector<std::string> &log) {
  std::printf("driver log:\n");
  for (const std::string &line : log) {
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::printf("  %s\n", text.c_str());
  }
}

void PrintResult(const scenario::Outcome &outcome) {
  std::string values;
  for (UINTN v : outcome.progress) values += (values.empty() ? "" : ",") + std::to_string(v);
  std::printf("reports:  %s\n", values.empty() ? "-" : values.c_str());
  std::printf("status:   %s\n", StatusText(outcome.status).c_str());
  std::printf("time:     %.3f s of virtual time, %zu control transfers\n",
              outcome.virtualUs / 1e6, outcome.transfers);
  std::printf("result:   %s; the camera %s the image\n", outcome.cameraState.c_str(),
              outcome.cameraHoldsImage ? "holds" : "does NOT hold");
  for (const std::string &other : outcome.othersState) {
    std::printf("other:    %s\n", other.c_str());
  }
}

// Writes the run's control transfers into the capture opened before it, if that worked,
// and says what became of it.
void WriteCapture(const std::string &pcapPath, const scenario::Outcome &outcome,
                  usbcap::CaptureFile *capture) {
  if (capture->Good()) {
    for (const usbcap::ControlTransfer &transfer : scenario::CaptureOf(outcome.transferLog)) {
      capture->Write(transfer);
    }
    capture->Close();
  }
  if (capture->Error().empty()) {
    std::printf("capture:  %s, %zu control transfers (usbmon, link type 220)\n",
                pcapPath.c_str(), capture->Transfers());
  } else {
    std::printf("capture:  NOT written: %s\n", capture->Error().c_str());
  }
}

}  // namespace

int main(int argc, char **argv) {
  Request request;
  if (const std::optional<int> exitStatus = ParseArguments(argc, argv, &request)) {
    return *exitStatus;
  }
  capfmt::Bytes capsule;
  if (!LoadCapsule(&request, &capsule)) {
    return 1;
  }
  if (request.WritesFiles()) {
    return WriteFiles(capsule, request.options.path, request.capsuleOut, request.payloadOut,
                      request.dfuOut);
  }
  if (!LoadVariables(&request)) {
    return 2;
  }

  // Opened before the run, so that a path that cannot be written is reported at once; the
  // run goes on either way.
  usbcap::CaptureFile capture;
  if (!request.pcapPath.empty() && !capture.Open(request.pcapPath)) {
    std::fprintf(stderr, "kvr-scenario: %s; the run goes on without it\n",
                 capture.Error().c_str());
  }
  const scenario::Outcome outcome =
      RunDriver(capsule, request.capsulePath, request.otherNames, request.options);
  if (request.showLog) {
    PrintLog(outcome.log);
  }
  PrintResult(outcome);
  if (!request.pcapPath.empty()) {
    WriteCapture(request.pcapPath, outcome, &capture);
  }
  if (!SaveVariables(request)) {
    return 2;
  }
  return outcome.status == EFI_SUCCESS && outcome.cameraHoldsImage && !outcome.otherWritten ? 0 : 1;
}
