// kvr-bench: the figures of the camera update, one table, each figure from one run.
//
// For the flash path and the DFU path (mode 1 and mode 2) one whole update of the built-in
// 128 KiB sample on the simulated platform gives: the virtual time the update took, the
// waits the update cannot do without, their ratio, the control transfers and the bytes
// their data stages moved, the peak pool use and the host CPU time of the whole simulated
// update. The size of the driver image and the wall time of each path end to end in OVMF
// under QEMU come from the files named on the command line.
//
// The waits an update cannot do without ("mandated"):
//   flash path  the waits the sequence itself prescribes after each restart of the camera
//               (KV_CAMERA_RESET_STALL_US per restart the camera went through);
//   DFU path    the time the camera is away from the bus (its detach delays: the ROM device
//               cannot be found sooner, nor the camera with its new firmware) and the poll
//               timeouts the ROM device announced in its status answers.
// Whatever the driver waits beyond them is its own polling.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "dfu/Dfu.h"
#include "flash/Flash.h"
#include "tools/Scenario.h"

namespace {

const char kUsage[] =
    "usage: kvr-bench [--efi IMAGE] [--e2e LOG]\n"
    "  Runs one update of the 128 KiB sample per path on the simulated platform and prints\n"
    "  one table of figures. --efi: the driver image whose size to show (by default the\n"
    "  one the build's efi tree links). --e2e: output of\n"
    "  emu/e2e-suite holding its `KVR-E2E scenario=... result=... wall=...s` lines for the\n"
    "  scenarios flash, dfu-interface and dfu-capable.\n";

struct PathRun {
  const char *title;
  scenario::Camera camera;
  const char *e2eScenario;
};

const PathRun kPaths[] = {
    {"flash path", scenario::Camera::Flash, "flash"},
    {"DFU mode 1", scenario::Camera::DfuInterface, "dfu-interface"},
    {"DFU mode 2", scenario::Camera::DfuCapable, "dfu-capable"},
};

struct Figures {
  scenario::Outcome outcome;
  double cpuSeconds = 0;
  uint64_t mandatedUs = 0;
};

double CpuNow() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The poll timeouts in the ROM device's status answers (DFU_GETSTATUS to interface 0).
uint64_t AnnouncedPollTimeoutsUs(const std::vector<sim::Transfer> &transfers) {
  uint64_t total = 0;
  for (const sim::Transfer &t : transfers) {
    if (t.setup.RequestType == DFU_REQUEST_TYPE_IN && t.setup.Request == DFU_GETSTATUS &&
        t.setup.Index == DFU_ROM_INTERFACE && t.dataIn.size() >= 4) {
      total += (uint64_t{t.dataIn[1]} | uint64_t{t.dataIn[2]} << 8 | uint64_t{t.dataIn[3]} << 16) *
               1000;
    }
  }
  return total;
}

Figures Measure(const PathRun &path) {
  Figures f;
  std::shared_ptr<camera::Camera> camera;
  scenario::Options options;
  options.path = scenario::Path::Hob;
  options.camera = path.camera;
  options.makeCamera = [&](const camera::Config &config) {
    camera = std::make_shared<camera::Camera>(config);
    return camera;
  };
  const capfmt::Bytes capsule = scenario::SampleCapsule(options.path);
  // One run first, not measured, so that the one measured does not pay for the process's
  // first touch of its memory.
  (void)scenario::Run(capsule, options);
  const double start = CpuNow();
  f.outcome = scenario::Run(capsule, options);
  f.cpuSeconds = CpuNow() - start;
  if (path.camera == scenario::Camera::Flash) {
    const uint64_t restarts = camera->ResetsToUpdateMode() + camera->Restarts();
    f.mandatedUs = restarts * KV_CAMERA_RESET_STALL_US;
  } else {
    const camera::DfuConfig &dfu = camera->Settings().dfu;
    f.mandatedUs = dfu.detachDelayUs + dfu.romDetachDelayUs +
                   AnnouncedPollTimeoutsUs(f.outcome.transferLog);
  }
  return f;
}

struct E2e {
  std::string result;
  std::string wall;
};

std::map<std::string, E2e> ReadE2e(const std::string &file) {
  std::map<std::string, E2e> runs;
  std::ifstream in(file);
  const std::regex line(R"(KVR-E2E scenario=(\S+) result=(\S+) wall=([0-9.]+)s)");
  std::string text;
  while (std::getline(in, text)) {
    std::smatch m;
    if (std::regex_search(text, m, line)) runs[m[1]] = E2e{m[2], m[3]};
  }
  return runs;
}

std::string Grouped(uint64_t value) {
  std::string digits = std::to_string(value), out;
  for (size_t i = 0; i < digits.size(); i++) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string Format(const char *format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

void Row(const std::string &figure, const std::vector<std::string> &values) {
  std::printf("| %-44s |", figure.c_str());
  for (const std::string &v : values) std::printf(" %-27s |", v.c_str());
  std::printf("\n");
}

}  // namespace

int main(int argc, char **argv) {
  std::string efiPath = KVR_EFI_IMAGE_PATH, e2ePath;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    if ((a == "--efi" || a == "--e2e") && i + 1 < argc) {
      (a == "--efi" ? efiPath : e2ePath) = argv[++i];
    } else if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "kvr-bench: unknown option '%s'\n%s", a.c_str(), kUsage);
      return 2;
    }
  }

  std::vector<Figures> figures;
  for (const PathRun &path : kPaths) {
    figures.push_back(Measure(path));
    const scenario::Outcome &o = figures.back().outcome;
    if (o.status != EFI_SUCCESS || !o.cameraHoldsImage) {
      std::fprintf(stderr, "kvr-bench: the %s update did not succeed (status 0x%llX, %s)\n",
                   path.title, (unsigned long long)o.status, o.cameraState.c_str());
      return 1;
    }
  }
  const std::map<std::string, E2e> e2e = e2ePath.empty() ? std::map<std::string, E2e>{}
                                                         : ReadE2e(e2ePath);

  std::vector<std::string> header;
  for (const PathRun &path : kPaths) header.push_back(path.title);
  std::printf("Camera update figures: the 128 KiB sample, one run per figure\n\n");
  Row("figure", header);
  std::printf("|%s|", std::string(46, '-').c_str());
  for (size_t i = 0; i < header.size(); i++) std::printf("%s|", std::string(29, '-').c_str());
  std::printf("\n");

  const auto each = [&](auto value) {
    std::vector<std::string> values;
    for (size_t i = 0; i < figures.size(); i++) values.push_back(value(figures[i], kPaths[i]));
    return values;
  };
  Row("virtual time of the update", each([](const Figures &f, const PathRun &) {
        return Format("%.3f s", f.outcome.virtualUs / 1e6);
      }));
  Row("waits the update cannot do without", each([](const Figures &f, const PathRun &) {
        return Format("%.3f s", f.mandatedUs / 1e6);
      }));
  Row("ratio (virtual time / those waits)", each([](const Figures &f, const PathRun &) {
        return f.mandatedUs == 0 ? std::string("-")
                                 : Format("%.3f", double(f.outcome.virtualUs) / f.mandatedUs);
      }));
  Row("control transfers", each([](const Figures &f, const PathRun &) {
        return Grouped(f.outcome.transfers);
      }));
  Row("bytes moved (data stages, out + in)", each([](const Figures &f, const PathRun &) {
        return Grouped(f.outcome.bytesOut + f.outcome.bytesIn) + " B";
      }));
  Row("  of which out / in", each([](const Figures &f, const PathRun &) {
        return Grouped(f.outcome.bytesOut) + " / " + Grouped(f.outcome.bytesIn);
      }));
  Row("peak pool use", each([](const Figures &f, const PathRun &) {
        return Grouped(f.outcome.peakPoolBytes) + " B";
      }));
  Row("host CPU time of the whole simulated update", each([](const Figures &f, const PathRun &) {
        return Format("%.1f ms", f.cpuSeconds * 1e3);
      }));
  Row("end-to-end wall time in QEMU (e2e-suite)", each([&](const Figures &, const PathRun &p) {
        const auto it = e2e.find(p.e2eScenario);
        if (it == e2e.end()) return std::string("not measured");
        return it->second.wall + " s (" + p.e2eScenario + ", " + it->second.result + ")";
      }));
  std::string size = "not built";
  struct stat st {};
  if (!efiPath.empty() && stat(efiPath.c_str(), &st) == 0) {
    size = Grouped(static_cast<uint64_t>(st.st_size)) + " B";
  }
  Row("size of KvrFmpDriver.efi", {size, "(the same image)", "(the same image)"});
  std::printf(
      "\nWaits the update cannot do without: flash path, the sequence's %.1f s after each\n"
      "restart of the camera; DFU path, the camera's time away from the bus (detach and ROM\n"
      "detach delays) and the poll timeouts the ROM device announced. Host CPU time: the\n"
      "measured run follows one unmeasured run of the same path. QEMU runs use the\n"
      "e2e-suite's shortened detach and restart delays (300 ms).\n",
      KV_CAMERA_RESET_STALL_US / 1e6);
  return 0;
}
