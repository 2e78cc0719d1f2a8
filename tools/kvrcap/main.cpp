// kvrcap: builds and inspects camera images and capsules for platform integrators.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/CapsuleFormat.h"
#include "tools/kvrcap/Pkcs7.h"

namespace {

using capfmt::Bytes;

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const char *const kUsage =
    "usage: kvrcap <command> [options]\n"
    "\n"
    "commands:\n"
    "  image    wrap a firmware payload in the camera image header\n"
    "  fv       build an EFI capsule whose body is a firmware volume holding the camera image\n"
    "  fmp      build an FMP capsule: embedded drivers, then payload items, the camera\n"
    "           image last\n"
    "  inspect  show what the driver finds in a capsule\n"
    "\n"
    "Run 'kvrcap <command> --help' for a command's options.\n";

const std::map<std::string, std::string> kCommandHelp = {
    {"image",
     "usage: kvrcap image --vid V --pid P --payload FW.bin -o camera.img [--header-size N]\n"
     "  Writes the camera image header (VID, PID, header size, total size) and the payload.\n"
     "  Numbers may be decimal or 0x-prefixed hexadecimal; --header-size is at least 16.\n"},
    {"fv",
     "usage: kvrcap fv --image camera.img -o capsule.bin [--large-file] [--pad-files N]\n"
     "  Builds an EFI capsule holding a PI firmware volume with the camera firmware file.\n"
     "  --large-file  give the camera file the 32-byte large-file header\n"
     "  --pad-files N place N other files before the camera file\n"},
    {"fmp",
     "usage: kvrcap fmp --image camera.img [--image ...] [--driver FILE.efi ...] -o capsule.bin\n"
     "                  [--guid GUID] [--update-image-index N] [--hardware-instance N]\n"
     "                  [--capflag PersistAcrossReset|InitiateReset ...]\n"
     "                  [--fw-version V --lsv V]\n"
     "                  [--sign KEY.pem CERT.pem [--other-cert PEM ...] [--monotonic-count N]]\n"
     "  Builds an FMP capsule (UEFI 2.10, 23.3) laid out as EDK II's GenerateCapsule lays it\n"
     "  out: a 32-byte capsule header, the embedded drivers byte for byte, then one payload\n"
     "  item with a version-3 header per image, everything back to back. --driver and\n"
     "  --image may be given as often as wanted and are kept in the order given. The driver\n"
     "  takes the last payload item: give the camera image last. The item options apply to\n"
     "  every item. For the same inputs the bytes are GenerateCapsule's (a signature aside).\n"
     "  --driver FILE  an embedded driver, e.g. build/efi/KvrFmpDriver.efi: the platform's\n"
     "                 capsule library loads and starts it before it handles the items\n"
     "  --image FILE   a payload item's image, e.g. a camera image from 'kvrcap image'\n"
     "  --guid GUID    UpdateImageTypeId (default the camera image type,\n"
     "                 517E0EE9-1838-4B22-973B-4FDA03313AE2)\n"
     "  --update-image-index N  UpdateImageIndex, 1 to 255 (default 1)\n"
     "  --hardware-instance N   UpdateHardwareInstance (default 0)\n"
     "  --capflag F    a capsule flag: PersistAcrossReset, InitiateReset (which needs\n"
     "                 PersistAcrossReset); without one the flags are 0\n"
     "  --fw-version V, --lsv V  the FMP payload header (\"MSS1\") in front of each image,\n"
     "                 with FwVersion V and LowestSupportedVersion V (both, or neither)\n"
     "  --sign KEY.pem CERT.pem  signs each item: an EFI_FIRMWARE_IMAGE_AUTHENTICATION in\n"
     "                 front of it holds the PKCS7 signature (DER, SHA-256) of the item's\n"
     "                 data followed by the monotonic count\n"
     "  --other-cert PEM  a further certificate to carry in the signature (the chain to\n"
     "                 the platform's trusted one)\n"
     "  --monotonic-count N  the count signed with each item (default 0)\n"},
    {"inspect",
     "usage: kvrcap inspect capsule.bin [--fmp] [--trusted-cert PEM]\n"
     "  Runs the driver's own location code on the capsule and prints what it finds: the\n"
     "  path, the image offset and length, the header fields, the payload length, the\n"
     "  firmware version block and the length a DFU update would send, and every problem;\n"
     "  the driver reads the capsule up to its CapsuleImageSize. The result says which\n"
     "  update paths take the image: the flash path, and the DFU path when the image has a\n"
     "  firmware version block.\n"
     "  --fmp reads it as the FMP capsule of an INSYDE platform; otherwise as the capsule\n"
     "  HOB or \"CapsuleOnRam\" hands it over (a firmware volume, or an FMP capsule). For an\n"
     "  FMP capsule it lists the embedded drivers and every payload item: its header, the\n"
     "  image authentication, the FMP payload header and the camera image, and it checks\n"
     "  what EDK II's capsule library requires before the driver ever runs.\n"
     "  --trusted-cert PEM  verifies each item's signature against this certificate, as\n"
     "                 the platform does (no clock: validity dates are not checked)\n"
     "  Exit status 0 only for a usable image.\n"},
};

struct Args {
  std::string command;
  std::vector<std::string> positional;
  std::map<std::string, std::vector<std::string>> values;  // every value, in the order given
  std::map<std::string, bool> flags;
};

// valueOptions take one value each, or as many as a ":N" after the name says
// ("--sign:2"); each value is kept in the order given.
Args Parse(int argc, char **argv, const std::vector<std::string> &valueOptions,
           const std::vector<std::string> &flagOptions) {
  Args args;
  args.command = argv[1];
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    bool known = false;
    for (const std::string &declared : valueOptions) {
      const size_t colon = declared.find(':');
      const std::string o = declared.substr(0, colon);
      const int count = colon == std::string::npos ? 1 : std::stoi(declared.substr(colon + 1));
      if (a == o) {
        if (i + count >= argc) {
          throw UsageError(a + (count == 1 ? " needs a value" : " needs " + std::to_string(count) + " values"));
        }
        for (int n = 0; n < count; n++) args.values[o].push_back(argv[++i]);
        known = true;
      }
    }
    for (const std::string &o : flagOptions) {
      if (a == o) {
        args.flags[o] = true;
        known = true;
      }
    }
    if (!known) {
      if (a.size() > 1 && a[0] == '-') throw UsageError("unknown option " + a);
      args.positional.push_back(a);
    }
  }
  return args;
}

// The value of an option given once; the last one when it was given more often.
const std::string &Required(const Args &args, const std::string &option) {
  auto it = args.values.find(option);
  if (it == args.values.end()) throw UsageError(option + " is required");
  return it->second.back();
}

std::vector<std::string> All(const Args &args, const std::string &option) {
  auto it = args.values.find(option);
  return it == args.values.end() ? std::vector<std::string>{} : it->second;
}

uint64_t Number(const std::string &text, const std::string &what, uint64_t max) {
  char *end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || value > max) {
    throw UsageError(what + " '" + text + "' is not a number from 0 to " + std::to_string(max));
  }
  return value;
}

Bytes ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string &path, const Bytes &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(data.data()), (std::streamsize)data.size());
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string Size(uint64_t n) {
  char text[64];
  std::snprintf(text, sizeof text, "%llu (0x%llX)", (unsigned long long)n, (unsigned long long)n);
  return text;
}

void Wrote(const std::string &path, const Bytes &data) {
  std::printf("wrote %s: %s bytes\n", path.c_str(), Size(data.size()).c_str());
}

int Image(const Args &args) {
  Bytes payload = ReadFile(Required(args, "--payload"));
  uint16_t vid = (uint16_t)Number(Required(args, "--vid"), "VID", 0xFFFF);
  uint16_t pid = (uint16_t)Number(Required(args, "--pid"), "PID", 0xFFFF);
  uint16_t headerSize = 16;
  if (args.values.count("--header-size")) {
    headerSize = (uint16_t)Number(Required(args, "--header-size"), "header size", 0xFFFF);
    if (headerSize < 16) throw UsageError("header size must be at least 16");
  }
  Bytes image = capfmt::MakeImage(vid, pid, payload, headerSize);
  WriteFile(Required(args, "-o"), image);
  Wrote(Required(args, "-o"), image);
  return 0;
}

int Fv(const Args &args) {
  capfmt::FvOptions options;
  options.largeFile = args.flags.count("--large-file") > 0;
  if (args.values.count("--pad-files")) {
    options.padFiles = (unsigned)Number(Required(args, "--pad-files"), "pad file count", 1000);
  }
  Bytes capsule = capfmt::MakeFvCapsule(ReadFile(Required(args, "--image")), options);
  WriteFile(Required(args, "-o"), capsule);
  Wrote(Required(args, "-o"), capsule);
  return 0;
}

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", as registries write GUIDs.
EFI_GUID ParseGuid(const std::string &text) {
  static const char kShape[] = "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX";
  bool ok = text.size() == sizeof kShape - 1;
  for (size_t i = 0; ok && i < text.size(); i++) {
    ok = kShape[i] == '-' ? text[i] == '-' : std::isxdigit((unsigned char)text[i]) != 0;
  }
  if (!ok) throw UsageError("GUID '" + text + "' is not of the form " + kShape);
  auto hex = [&](size_t at, size_t digits) { return std::stoull(text.substr(at, digits), nullptr, 16); };
  EFI_GUID guid;
  guid.Data1 = (uint32_t)hex(0, 8);
  guid.Data2 = (uint16_t)hex(9, 4);
  guid.Data3 = (uint16_t)hex(14, 4);
  for (size_t i = 0; i < 8; i++) guid.Data4[i] = (uint8_t)hex(i < 2 ? 19 + 2 * i : 20 + 2 * i, 2);
  return guid;
}

int Fmp(const Args &args) {
  const std::string &out = Required(args, "-o");
  if (All(args, "--image").empty()) throw UsageError("--image is required");
  capfmt::FmpItemOptions item;
  if (args.values.count("--guid")) item.typeId = ParseGuid(Required(args, "--guid"));
  if (args.values.count("--update-image-index")) {
    item.imageIndex = (uint8_t)Number(Required(args, "--update-image-index"), "update image index", 255);
    if (item.imageIndex == 0) throw UsageError("--update-image-index must be 1 to 255");
  }
  if (args.values.count("--hardware-instance")) {
    item.hardwareInstance = Number(Required(args, "--hardware-instance"), "hardware instance", UINT64_MAX);
  }
  if (args.values.count("--fw-version") != args.values.count("--lsv")) {
    throw UsageError("--fw-version and --lsv make the FMP payload header together: give both");
  }
  if (args.values.count("--fw-version")) {
    item.fwVersion = (uint32_t)Number(Required(args, "--fw-version"), "firmware version", UINT32_MAX);
    item.lowestSupportedVersion =
        (uint32_t)Number(Required(args, "--lsv"), "lowest supported version", UINT32_MAX);
  }
  uint32_t flags = 0;
  for (const std::string &flag : All(args, "--capflag")) {
    if (flag == "PersistAcrossReset") {
      flags |= CAPSULE_FLAGS_PERSIST_ACROSS_RESET;
    } else if (flag == "InitiateReset") {
      flags |= CAPSULE_FLAGS_INITIATE_RESET;
    } else {
      throw UsageError("--capflag takes PersistAcrossReset or InitiateReset, not '" + flag + "'");
    }
  }
  if ((flags & CAPSULE_FLAGS_INITIATE_RESET) && !(flags & CAPSULE_FLAGS_PERSIST_ACROSS_RESET)) {
    throw UsageError("--capflag InitiateReset also needs --capflag PersistAcrossReset");
  }
  const std::vector<std::string> sign = All(args, "--sign");
  if (sign.empty() && (args.values.count("--other-cert") || args.values.count("--monotonic-count"))) {
    throw UsageError("--other-cert and --monotonic-count go with --sign");
  }
  if (!sign.empty()) {
    if (sign.size() != 2) throw UsageError("--sign is given once");
    if (args.values.count("--monotonic-count")) {
      item.monotonicCount = Number(Required(args, "--monotonic-count"), "monotonic count", UINT64_MAX);
    }
    const std::vector<std::string> others = All(args, "--other-cert");
    item.sign = [key = sign[0], cert = sign[1], others](const Bytes &data) {
      return pkcs7::Sign(data, key, cert, others);
    };
  }
  std::vector<Bytes> drivers, images;
  for (const std::string &path : All(args, "--driver")) drivers.push_back(ReadFile(path));
  for (const std::string &path : All(args, "--image")) images.push_back(ReadFile(path));
  Bytes capsule = capfmt::MakeFmpCapsule(drivers, images, item, flags);
  WriteFile(out, capsule);
  Wrote(out, capsule);
  return 0;
}

// The version block and the length a DFU update reads from the payload.
void PrintDfu(const capfmt::Inspection::DfuView &dfu) {
  if (dfu.versionBlock) {
    const capfmt::VersionBlock &v = *dfu.versionBlock;
    std::printf("version block:  offset %s, chip ID 0x%04X, VID 0x%04X, PID 0x%04X, version 0x%04X\n",
                Size(v.offset).c_str(), v.chipId, v.vid, v.pid, v.version);
  } else {
    std::printf("version block:  none (a DFU update refuses this image)\n");
  }
  if (!dfu.lengthFits) {
    std::printf("DFU download:   none (longer than a DFU download's 2 GiB)\n");
  } else if (dfu.length <= 0) {
    std::printf("DFU download:   none (%lld bytes to send)\n", (long long)dfu.length);
  } else {
    std::printf("DFU download:   %s bytes in %lld blocks of at most 4096\n",
                Size((uint64_t)dfu.length).c_str(), (long long)((dfu.length + 4095) / 4096));
  }
}

// The embedded drivers and payload items of an FMP capsule, field by field; with a trusted
// certificate each signature is verified, and one that fails is a problem.
void PrintFmpLayout(const Bytes &capsule, const std::string &trustedCert,
                    std::vector<std::string> *problems) {
  const capfmt::FmpLayout layout = capfmt::ReadFmpLayout(capsule);
  if (layout.opened) {
    std::printf("FMP header:     version %u, %zu embedded drivers, %zu payload items\n",
                layout.version, layout.drivers.size(), layout.items.size());
  }
  for (size_t d = 0; d < layout.drivers.size(); d++) {
    const capfmt::FmpLayout::Driver &driver = layout.drivers[d];
    std::printf("driver %zu:       %s bytes at offset %s: %s\n", d + 1, Size(driver.length).c_str(),
                Size(driver.offset).c_str(),
                capfmt::DescribePeImage(capsule.data() + driver.offset, driver.length).c_str());
  }
  if (layout.opened && layout.drivers.empty()) {
    std::printf("drivers:        none embedded\n");
  }
  for (size_t i = 0; i < layout.items.size(); i++) {
    const capfmt::FmpLayout::Item &item = layout.items[i];
    const std::string name = "item " + std::to_string(i + 1);
    if (!item.fault.empty()) {
      std::printf("%-15s at offset %s: version %u, refused: %s\n", (name + ":").c_str(),
                  Size(item.offset).c_str(), item.version, item.fault.c_str());
      continue;
    }
    std::printf("%-15s at offset %s: version %u (%u-byte header), UpdateImageTypeId %s, "
                "UpdateImageIndex %u, UpdateImageSize %s, UpdateVendorCodeSize %u, "
                "UpdateHardwareInstance 0x%llX, ImageCapsuleSupport 0x%llX%s\n",
                (name + ":").c_str(), Size(item.offset).c_str(), item.version, item.headerSize,
                capfmt::GuidToString(item.typeId).c_str(), item.index,
                Size(item.imageSize).c_str(), item.vendorCodeSize,
                (unsigned long long)item.hardwareInstance,
                (unsigned long long)item.capsuleSupport,
                i + 1 == layout.items.size() ? " (the item the driver takes)" : "");
    if (item.auth) {
      const capfmt::FmpLayout::Auth &a = *item.auth;
      std::printf("%-15s at offset %s: monotonic count %llu, WIN_CERTIFICATE_UEFI_GUID of %u "
                  "bytes, revision 0x%04X, type 0x%04X (WIN_CERT_TYPE_EFI_GUID), CertType %s "
                  "(PKCS7), signature %zu bytes\n",
                  (name + " auth:").c_str(), Size(a.offset).c_str(),
                  (unsigned long long)a.monotonicCount, a.length, a.revision, a.certificateType,
                  capfmt::GuidToString(a.certType).c_str(), a.certData.size());
      std::string verdict = "not checked (give --trusted-cert PEM)";
      if (!trustedCert.empty()) {
        std::string why;
        if (pkcs7::Verify(a.certData, a.signedData, trustedCert, &why)) {
          verdict = "verified against " + trustedCert;
        } else {
          verdict = "does NOT verify against " + trustedCert + ": " + why;
          problems->push_back("the signature of " + name + " does not verify against " +
                              trustedCert + ": the platform's FMP authentication refuses it");
        }
      }
      std::printf("%-15s %s\n", (name + " sign:").c_str(), verdict.c_str());
    }
    if (item.payloadHeader) {
      const capfmt::FmpLayout::PayloadHeader &h = *item.payloadHeader;
      std::printf("%-15s at offset %s: FMP payload header \"MSS1\", size %u, FwVersion 0x%X, "
                  "LowestSupportedVersion 0x%X\n",
                  (name + " header:").c_str(), Size(h.offset).c_str(), h.headerSize, h.fwVersion,
                  h.lowestSupportedVersion);
    }
    std::printf("%-15s at offset %s, %s bytes\n", (name + " image:").c_str(),
                Size(item.cameraOffset).c_str(), Size(item.cameraLength).c_str());
  }
}

// Which update paths take a usable image: the flash path always; the DFU path only with a
// firmware version block and something to send.
std::string Verdict(const capfmt::Inspection &r) {
  if (!r.usable()) return "NOT usable";
  if (r.dfuUsable()) return "usable by the flash path and the DFU path";
  std::string why = "no firmware version block";
  if (r.dfu && r.dfu->versionBlock) {
    why = r.dfu->lengthFits ? "nothing to send" : "longer than a DFU download";
  } else if (!r.dfu) {
    why = "no payload";
  }
  return "usable by the flash path; the DFU path refuses it (" + why + ")";
}

int Inspect(const Args &args) {
  if (args.positional.size() != 1) throw UsageError("inspect takes one capsule file");
  const std::string &path = args.positional[0];
  Bytes capsule = ReadFile(path);
  const bool fmp = args.flags.count("--fmp") > 0;
  const std::string trusted =
      args.values.count("--trusted-cert") ? Required(args, "--trusted-cert") : std::string();
  capfmt::Inspection r = capfmt::Inspect(capsule, fmp);

  std::printf("capsule:        %s, %s bytes\n", path.c_str(), Size(capsule.size()).c_str());
  if (capsule.size() >= sizeof(EFI_CAPSULE_HEADER)) {
    EFI_CAPSULE_HEADER header;
    std::memcpy(&header, capsule.data(), sizeof header);
    std::printf("capsule GUID:   %s\n", capfmt::GuidToString(header.CapsuleGuid).c_str());
    std::printf("header size:    %s, image size %s, flags 0x%08X\n",
                Size(header.HeaderSize).c_str(), Size(header.CapsuleImageSize).c_str(),
                header.Flags);
    const EFI_GUID fmpGuid = EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID;
    if (fmp || std::memcmp(&header.CapsuleGuid, &fmpGuid, sizeof fmpGuid) == 0) {
      PrintFmpLayout(capsule, trusted, &r.problems);
    }
  }
  std::printf("path:           %s\n", r.path.c_str());
  if (r.imageFound) {
    std::printf("image:          offset %s, length %s\n", Size(r.imageOffset).c_str(),
                Size(r.imageLength).c_str());
    if (r.imageLength >= 16) {
      std::printf("image header:   size %u, VID 0x%04X, PID 0x%04X, total size %s\n",
                  r.headerSize, r.vid, r.pid, Size(r.totalSize).c_str());
      std::printf("payload:        %s bytes\n", Size(r.payloadLength).c_str());
    }
    if (r.dfu) PrintDfu(*r.dfu);
  }
  for (const std::string &line : r.driverLog) {
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::printf("driver log:     %s\n", text.c_str());
  }
  for (const std::string &warning : r.warnings) {
    std::printf("warning:        %s\n", warning.c_str());
  }
  for (const std::string &problem : r.problems) {
    std::printf("problem:        %s\n", problem.c_str());
  }
  std::printf("result:         %s\n", Verdict(r).c_str());
  return r.usable() ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  std::string command = argv[1];
  auto help = kCommandHelp.find(command);
  if (help == kCommandHelp.end()) {
    std::fprintf(stderr, "kvrcap: unknown command '%s' (try kvrcap --help)\n", command.c_str());
    return 2;
  }
  for (int i = 2; i < argc; i++) {
    if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
      std::fputs(help->second.c_str(), stdout);
      return 0;
    }
  }
  try {
    if (command == "image") return Image(Parse(argc, argv, {"--vid", "--pid", "--payload", "-o", "--header-size"}, {}));
    if (command == "fv") return Fv(Parse(argc, argv, {"--image", "-o", "--pad-files"}, {"--large-file"}));
    if (command == "fmp") {
      return Fmp(Parse(argc, argv,
                       {"--image", "-o", "--driver", "--guid", "--update-image-index",
                        "--hardware-instance", "--capflag", "--fw-version", "--lsv", "--sign:2",
                        "--other-cert", "--monotonic-count"},
                       {}));
    }
    return Inspect(Parse(argc, argv, {"--trusted-cert"}, {"--fmp"}));
  } catch (const UsageError &e) {
    std::fprintf(stderr, "kvrcap %s: %s (try kvrcap %s --help)\n", command.c_str(), e.what(),
                 command.c_str());
    return 2;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "kvrcap %s: %s\n", command.c_str(), e.what());
    return 1;
  }
}
