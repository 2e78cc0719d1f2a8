// kvr-camera-server: puts one emulated USB device on QEMU's usb-redir device over a UNIX
// socket and, when the run ends, writes the device's final state.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "emu/server/Persona.h"
#include "emu/server/RedirServer.h"
#include "emu/server/Report.h"
#include "tools/UsbCapture.h"

namespace {

// Exit statuses.
constexpr int kExitPeerHungUp = 0;  // the normal end: QEMU closed the link
constexpr int kExitUsage = 1;
constexpr int kExitLinkFailed = 2;
constexpr int kExitTimeLimit = 3;
constexpr int kExitSignal = 4;
constexpr int kExitNoPeer = 5;

constexpr int kPollSliceMs = 10;
constexpr double kMaxSeconds = 3600;

const char kUsage[] =
    "usage: kvr-camera-server (--listen PATH | --connect PATH) [options]\n"
    "       kvr-camera-server --list-personas\n"
    "\n"
    "Puts one emulated USB device on QEMU's usb-redir device (usbredir over a UNIX socket).\n"
    "  --listen PATH        create the socket and wait for QEMU to connect\n"
    "                       (QEMU: -chardev socket,id=ID,path=PATH)\n"
    "  --connect PATH       connect to QEMU's socket, retrying until --connect-wait ends\n"
    "                       (QEMU: -chardev socket,id=ID,path=PATH,server=on,wait=off)\n"
    "  --persona NAME       the device to emulate (default test-device)\n"
    "  --set NAME=VALUE     an option of the persona; repeatable\n"
    "  --state PATH         write the device's final state here when the run ends\n"
    "  --from-state PATH    start the device from the state an earlier run wrote there, as\n"
    "                       it powers up again (camera personas; --persona defaults to the\n"
    "                       state's)\n"
    "  --time-limit SEC     end the run after this long (default 300, at most 3600)\n"
    "  --connect-wait SEC   how long to wait for the peer (default 30)\n"
    "  --hold-limit-ms MS   answer a request the device never answers with a timeout\n"
    "                       status after this long (default 30000)\n"
    "  --log PATH           write the link log here instead of to standard error\n"
    "  --verbose            log every request the device serves\n"
    "  --pcap PATH          write every control transfer of the run to PATH as a USB\n"
    "                       capture for Wireshark (Linux usbmon, link type 220, wall-clock\n"
    "                       timestamps); a capture that cannot be written is reported and\n"
    "                       the run goes on unchanged\n"
    "\n"
    "Exit status: 0 QEMU closed the link, 1 usage or setup error, 2 the link failed,\n"
    "3 time limit reached, 4 ended by a signal, 5 no peer connected in time.\n";

volatile sig_atomic_t gStopSignal = 0;

void OnSignal(int signal) { gStopSignal = signal; }

struct Arguments {
  std::string listenPath;
  std::string connectPath;
  std::string persona = "test-device";
  bool personaGiven = false;
  emu::PersonaOptions personaOptions;
  std::string statePath;
  std::string fromStatePath;
  double timeLimit = 300;
  double connectWait = 30;
  uint64_t holdLimitMs = 30000;
  std::string logPath;
  std::string pcapPath;
  bool verbose = false;
  bool listPersonas = false;
};

double Seconds(const std::string &option, const std::string &text) {
  char *end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !(value > 0) ||
      value > kMaxSeconds) {
    throw std::invalid_argument(option + " takes seconds, more than 0 and at most 3600");
  }
  return value;
}

Arguments Parse(int argc, char **argv) {
  Arguments args;
  for (int i = 1; i < argc; i++) {
    const std::string option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        throw std::invalid_argument(option + " needs a value");
      }
      return argv[++i];
    };
    if (option == "--listen") {
      args.listenPath = value();
    } else if (option == "--connect") {
      args.connectPath = value();
    } else if (option == "--persona") {
      args.persona = value();
      args.personaGiven = true;
    } else if (option == "--set") {
      args.personaOptions.Add(value());
    } else if (option == "--state") {
      args.statePath = value();
    } else if (option == "--from-state") {
      args.fromStatePath = value();
    } else if (option == "--time-limit") {
      args.timeLimit = Seconds(option, value());
    } else if (option == "--connect-wait") {
      args.connectWait = Seconds(option, value());
    } else if (option == "--hold-limit-ms") {
      const std::string text = value();
      char *end = nullptr;
      const unsigned long long ms = std::strtoull(text.c_str(), &end, 10);
      if (end != text.c_str() + text.size() || ms == 0 || ms > 3'600'000) {
        throw std::invalid_argument("--hold-limit-ms takes 1 to 3600000");
      }
      args.holdLimitMs = ms;
    } else if (option == "--log") {
      args.logPath = value();
    } else if (option == "--pcap") {
      args.pcapPath = value();
    } else if (option == "--verbose") {
      args.verbose = true;
    } else if (option == "--list-personas") {
      args.listPersonas = true;
    } else if (option == "--help" || option == "-h") {
      std::cout << kUsage;
      std::exit(0);
    } else {
      throw std::invalid_argument("unknown option " + option);
    }
  }
  if (!args.listPersonas && args.listenPath.empty() == args.connectPath.empty()) {
    throw std::invalid_argument("give exactly one of --listen and --connect");
  }
  return args;
}

class Clock {
 public:
  uint64_t NowUs() const {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now() - start_)
                                     .count());
  }
  // The wall clock when this clock started, in microseconds since 1970.
  uint64_t WallStartUs() const { return wallStartUs_; }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  uint64_t wallStartUs_ = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(
          std::chrono::system_clock::now().time_since_epoch())
          .count());
};

bool FillAddress(const std::string &path, sockaddr_un &address) {
  std::memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address.sun_path)) {
    return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

bool SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Waits up to deadlineUs for QEMU to connect to a socket we create. -1 on an error
// (reported), -2 when no one came in time or a signal ended the wait.
int Accept(const std::string &path, const Clock &clock, uint64_t deadlineUs) {
  sockaddr_un address;
  if (!FillAddress(path, address)) {
    std::cerr << "kvr-camera-server: socket path too long: " << path << "\n";
    return -1;
  }
  struct stat existing;
  if (lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      std::cerr << "kvr-camera-server: " << path << " exists and is not a socket\n";
      return -1;
    }
    unlink(path.c_str());  // left over from an earlier run
  }
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0 ||
      bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0 ||
      listen(listener, 1) != 0 || !SetNonBlocking(listener)) {
    std::cerr << "kvr-camera-server: cannot listen on " << path << ": " << std::strerror(errno)
              << "\n";
    if (listener >= 0) {
      close(listener);
    }
    return -1;
  }
  int fd = -2;
  while (gStopSignal == 0) {
    const uint64_t now = clock.NowUs();
    if (now >= deadlineUs) {
      break;
    }
    pollfd p{listener, POLLIN, 0};
    const uint64_t leftMs = (deadlineUs - now + 999) / 1000;
    poll(&p, 1, static_cast<int>(std::min<uint64_t>(leftMs, 100)));
    const int accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (accepted >= 0) {
      fd = accepted;
      break;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
      std::cerr << "kvr-camera-server: accept failed: " << std::strerror(errno) << "\n";
      fd = -1;
      break;
    }
  }
  close(listener);
  unlink(path.c_str());  // one peer per run
  return fd;
}

// Connects to QEMU's socket, retrying while it is not there yet, until deadlineUs.
int Connect(const std::string &path, const Clock &clock, uint64_t deadlineUs) {
  sockaddr_un address;
  if (!FillAddress(path, address)) {
    std::cerr << "kvr-camera-server: socket path too long: " << path << "\n";
    return -1;
  }
  while (gStopSignal == 0 && clock.NowUs() < deadlineUs) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      std::cerr << "kvr-camera-server: socket: " << std::strerror(errno) << "\n";
      return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0) {
      return fd;
    }
    const int error = errno;
    close(fd);
    if (error != ENOENT && error != ECONNREFUSED && error != EINTR) {
      std::cerr << "kvr-camera-server: cannot connect to " << path << ": "
                << std::strerror(error) << "\n";
      return -1;
    }
    usleep(50'000);
  }
  return -2;
}

// Reads the state an earlier run left, when --from-state asks for it; its persona is the
// run's unless --persona names one. False, reported, when it cannot be read.
bool ReadSavedState(Arguments *args, std::optional<emu::SavedState> *saved) {
  if (args->fromStatePath.empty()) {
    return true;
  }
  saved->emplace();
  std::string error;
  if (!emu::ReadStateFile(args->fromStatePath, &**saved, &error)) {
    std::cerr << "kvr-camera-server: --from-state: " << error << "\n";
    return false;
  }
  if (!args->personaGiven) {
    args->persona = (*saved)->persona;
  }
  return true;
}

// Opens the --log file, if one is given. False, reported, when it cannot be written.
bool OpenLogFile(const std::string &path, std::ofstream *file) {
  if (path.empty()) {
    return true;
  }
  file->open(path, std::ios::out | std::ios::trunc);
  if (!*file) {
    std::cerr << "kvr-camera-server: cannot write " << path << "\n";
    return false;
  }
  return true;
}

// SIGTERM, SIGINT and SIGHUP end the run in order. SIGPIPE is ignored: a write to a peer
// that has gone fails instead of ending the process.
void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// What a run keeps from its start to its end.
struct RunContext {
  const Arguments &args;
  emu::Persona &persona;
  std::ostream &log;
  const Clock &clock;
  usbcap::CaptureFile &capture;
};

// Ends the run: logs how it ended, writes the capture and the state file. Returns the exit
// status: code, or kExitUsage for a run the peer ended whose state file cannot be written.
int FinishRun(RunContext &run, const emu::RedirServer *server, const std::string &end,
              int code) {
  run.log << "kvr-camera-server: run ended: " << end << std::endl;
  if (run.capture.Good()) {
    if (server != nullptr) {
      for (const usbcap::ControlTransfer &t : emu::CaptureOf(*server, run.clock.WallStartUs())) {
        run.capture.Write(t);
      }
    }
    if (run.capture.Close()) {
      run.log << "kvr-camera-server: capture " << run.args.pcapPath << ": "
              << run.capture.Transfers() << " control transfers" << std::endl;
    } else {
      std::cerr << "kvr-camera-server: " << run.capture.Error() << "\n";
    }
  }
  if (!run.args.statePath.empty()) {
    std::string error;
    const emu::StateFile state =
        emu::DescribeRun(run.args.persona, run.persona, server, end, run.clock.NowUs());
    if (!state.Write(run.args.statePath, &error)) {
      std::cerr << "kvr-camera-server: " << error << "\n";
      return code == kExitPeerHungUp ? kExitUsage : code;
    }
  }
  return code;
}

// Links up with the peer as the arguments say, waiting up to waitUs: a non-blocking socket,
// or -1 when that failed (reported), -2 when no peer came in time or a signal ended the wait.
int OpenLink(RunContext &run, uint64_t waitUs) {
  const Arguments &args = run.args;
  run.log << "kvr-camera-server: persona " << args.persona << ", "
          << (args.listenPath.empty() ? "connecting to " + args.connectPath
                                      : "listening on " + args.listenPath)
          << std::endl;
  const int fd = args.listenPath.empty() ? Connect(args.connectPath, run.clock, waitUs)
                                         : Accept(args.listenPath, run.clock, waitUs);
  if (fd >= 0 && !SetNonBlocking(fd)) {
    close(fd);
    return -1;
  }
  return fd;
}

emu::RedirServer::Options ServerOptions(const Arguments &args, std::ostream &log) {
  emu::RedirServer::Options options;
  options.holdLimitUs = args.holdLimitMs * 1000;
  options.logRequests = args.verbose;
  options.log = [&log](const std::string &line) { log << line << std::endl; };
  return options;
}

// How a run ended: the word the log and the state file give, and the exit status.
struct RunEnd {
  std::string end;
  int code;
};

// Pumps the link until the peer hangs up, the link fails, the time limit passes or a signal
// comes.
RunEnd ServeLink(emu::RedirServer &server, int fd, const Clock &clock, uint64_t limitUs) {
  while (true) {
    if (gStopSignal != 0) {
      return {"signal", kExitSignal};
    }
    const uint64_t now = clock.NowUs();
    if (now >= limitUs) {
      return {"time-limit", kExitTimeLimit};
    }
    const emu::RedirServer::Status status = server.Pump(now);
    if (status == emu::RedirServer::Status::PeerClosed) {
      return {"hangup", kExitPeerHungUp};
    }
    if (status == emu::RedirServer::Status::Failed) {
      return {"failed", kExitLinkFailed};
    }
    pollfd p{fd, static_cast<short>(POLLIN | (server.WantsWrite() ? POLLOUT : 0)), 0};
    const uint64_t leftMs = (limitUs - now + 999) / 1000;
    poll(&p, 1, static_cast<int>(std::min<uint64_t>(leftMs, kPollSliceMs)));
  }
}

int Run(Arguments args) {
  std::optional<emu::SavedState> saved;
  if (!ReadSavedState(&args, &saved)) {
    return kExitUsage;
  }
  std::unique_ptr<emu::Persona> persona =
      emu::MakePersona(args.persona, args.personaOptions, saved ? &*saved : nullptr);

  std::ofstream logFile;
  if (!OpenLogFile(args.logPath, &logFile)) {
    return kExitUsage;
  }
  std::ostream &log = args.logPath.empty() ? std::cerr : logFile;
  InstallSignalHandlers();

  const Clock clock;
  const uint64_t limitUs = static_cast<uint64_t>(args.timeLimit * 1e6);
  const uint64_t waitUs = std::min(limitUs, static_cast<uint64_t>(args.connectWait * 1e6));

  // The capture is opened now, so that a path that cannot be written is reported at once;
  // either way the run itself goes on as without it.
  usbcap::CaptureFile capture;
  if (!args.pcapPath.empty() && !capture.Open(args.pcapPath)) {
    std::cerr << "kvr-camera-server: " << capture.Error() << "; the run goes on without it\n";
  }
  RunContext run{args, *persona, log, clock, capture};

  const int fd = OpenLink(run, waitUs);
  if (fd == -1) {
    return FinishRun(run, nullptr, "failed", kExitLinkFailed);
  }
  if (fd == -2) {
    return gStopSignal != 0 ? FinishRun(run, nullptr, "signal", kExitSignal)
                            : FinishRun(run, nullptr, "no-peer", kExitNoPeer);
  }
  emu::RedirServer server(persona->Device(), fd, ServerOptions(args, log));
  const RunEnd end = ServeLink(server, fd, clock, limitUs);
  const int result = FinishRun(run, &server, end.end, end.code);
  close(fd);
  return result;
}

}  // namespace

int main(int argc, char **argv) {
  Arguments args;
  try {
    args = Parse(argc, argv);
  } catch (const std::exception &e) {
    std::cerr << "kvr-camera-server: " << e.what() << "\n\n" << kUsage;
    return kExitUsage;
  }
  if (args.listPersonas) {
    for (const emu::PersonaEntry &entry : emu::PersonaCatalogue()) {
      std::cout << entry.name << "\t" << entry.summary << "\n";
    }
    return 0;
  }
  try {
    return Run(args);
  } catch (const std::exception &e) {
    std::cerr << "kvr-camera-server: " << e.what() << "\n";
    return kExitUsage;
  }
}
