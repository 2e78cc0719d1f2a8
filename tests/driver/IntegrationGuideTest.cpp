// The integration guide and the EDK II module file against the code: every GUID and status
// the guide names is the one the code uses, every status the driver's sources can return is
// in the guide, and the INF names the image and dependency expression make builds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <string>

#include "capsule/Capsule.h"
#include "dfu/Dfu.h"
#include "driver/Driver.h"
#include "platform/Platform.h"
#include "tools/CapsuleFormat.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

const fs::path kSource = KVR_SOURCE_DIR;
const fs::path kGuide = kSource / "docs" / "INTEGRATION.md";
const fs::path kInf = kSource / "docs" / "edk2" / "KvrFmpDriver.inf";
const fs::path kImage = KVR_EFI_IMAGE_PATH;

std::string Read(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every status the platform headers define, by name.
const std::map<std::string, EFI_STATUS> &Statuses() {
#define KVR_STATUS(name) {#name, name}
  static const std::map<std::string, EFI_STATUS> statuses = {
      KVR_STATUS(EFI_SUCCESS), KVR_STATUS(EFI_LOAD_ERROR), KVR_STATUS(EFI_INVALID_PARAMETER),
      KVR_STATUS(EFI_UNSUPPORTED), KVR_STATUS(EFI_BAD_BUFFER_SIZE),
      KVR_STATUS(EFI_BUFFER_TOO_SMALL), KVR_STATUS(EFI_NOT_READY), KVR_STATUS(EFI_DEVICE_ERROR),
      KVR_STATUS(EFI_WRITE_PROTECTED), KVR_STATUS(EFI_OUT_OF_RESOURCES),
      KVR_STATUS(EFI_VOLUME_CORRUPTED), KVR_STATUS(EFI_VOLUME_FULL), KVR_STATUS(EFI_NO_MEDIA),
      KVR_STATUS(EFI_MEDIA_CHANGED), KVR_STATUS(EFI_NOT_FOUND), KVR_STATUS(EFI_ACCESS_DENIED),
      KVR_STATUS(EFI_NO_RESPONSE), KVR_STATUS(EFI_NO_MAPPING), KVR_STATUS(EFI_TIMEOUT),
      KVR_STATUS(EFI_NOT_STARTED), KVR_STATUS(EFI_ALREADY_STARTED), KVR_STATUS(EFI_ABORTED),
      KVR_STATUS(EFI_ICMP_ERROR), KVR_STATUS(EFI_TFTP_ERROR), KVR_STATUS(EFI_PROTOCOL_ERROR),
      KVR_STATUS(EFI_INCOMPATIBLE_VERSION), KVR_STATUS(EFI_SECURITY_VIOLATION),
      KVR_STATUS(EFI_CRC_ERROR), KVR_STATUS(EFI_END_OF_MEDIA), KVR_STATUS(EFI_END_OF_FILE),
      KVR_STATUS(EFI_INVALID_LANGUAGE), KVR_STATUS(EFI_COMPROMISED_DATA),
  };
#undef KVR_STATUS
  return statuses;
}

std::string Guid(const EFI_GUID &guid) { return capfmt::GuidToString(guid); }

std::string InfValue(const std::string &inf, const std::string &key) {
  std::smatch m;
  const std::regex line("\\n\\s*" + key + "\\s*=\\s*(\\S+)");
  return std::regex_search(inf, m, line) ? m[1].str() : "";
}

TEST(IntegrationGuideTest, EveryGuidIsTheOneTheCodeUses) {
  const std::string guide = Read(kGuide);
  const std::string fileGuid = InfValue(Read(kInf), "FILE_GUID");
  const EFI_GUID progress = TARVEL_PROGRESS_PROTOCOL_GUID, vendor = EFI_CAPSULE_VENDOR_GUID,
                 address = KV_CAPSULE_ADDRESS_VARIABLE_GUID,
                 fmp = EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID, capsule = EFI_CAPSULE_GUID,
                 file = KV_CAMERA_FILE_GUID, type = KV_IMAGE_TYPE_ID_GUID,
                 hobList = EFI_HOB_LIST_GUID, inFlight = DFU_IN_FLIGHT_GUID;
  // The reference table's rows: what, then the GUID.
  const std::map<std::string, std::string> code = {
      {"`TARVEL_PROGRESS_PROTOCOL`", Guid(progress)},
      {"`EFI_CAPSULE_VENDOR_GUID` (\"CapsuleOnRam\")", Guid(vendor)},
      {"\"KorvaneCameraCapsuleAddress\" vendor GUID", Guid(address)},
      {"`EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID` (FMP capsule)", Guid(fmp)},
      {"`EFI_CAPSULE_GUID` (kvrcap's firmware volume capsules)", Guid(capsule)},
      {"camera file in the firmware volume", Guid(file)},
      {"camera image type (UpdateImageTypeId)", Guid(type)},
      {"`EFI_HOB_LIST_GUID` (configuration table)", Guid(hobList)},
      {"`FILE_GUID` of KvrFmpDriver.inf", fileGuid},
      {"\"KvrDfuInFlight\" vendor GUID (the in-flight record)", Guid(inFlight)},
  };
  const std::string hex = "[0-9A-Fa-f]";
  const std::string guidPattern = hex + "{8}-" + hex + "{4}-" + hex + "{4}-" + hex + "{4}-" +
                                  hex + "{12}";
  std::map<std::string, std::string> rows;
  const std::regex row("\\n\\| ([^|\\n]+) \\| (" + guidPattern + ") \\|");
  for (std::sregex_iterator it(guide.begin(), guide.end(), row), end; it != end; ++it) {
    rows[(*it)[1].str()] = (*it)[2].str();
  }
  EXPECT_EQ(rows, code);

  // Wherever else a GUID stands in the guide, it is one of those.
  std::set<std::string> known;
  for (const auto &[what, guid] : code) known.insert(guid);
  const std::regex any(guidPattern);
  for (std::sregex_iterator it(guide.begin(), guide.end(), any), end; it != end; ++it) {
    EXPECT_TRUE(known.count(it->str())) << it->str() << " is no GUID the code uses";
  }
  // The module's own GUID names nothing else.
  EXPECT_EQ(std::count_if(code.begin(), code.end(),
                          [&](const auto &entry) { return entry.second == fileGuid; }),
            1);
}

TEST(IntegrationGuideTest, EveryStatusTheDriverReturnsIsExplainedWithItsValue) {
  const std::string guide = Read(kGuide);
  std::map<std::string, EFI_STATUS> rows;
  const std::regex row("\\n\\| `(EFI_[A-Z_]+)` \\| 0x([0-9A-F]{16}) \\|");
  for (std::sregex_iterator it(guide.begin(), guide.end(), row), end; it != end; ++it) {
    rows[(*it)[1].str()] = std::stoull((*it)[2].str(), nullptr, 16);
  }
  ASSERT_FALSE(rows.empty());
  for (const auto &[name, value] : rows) {
    ASSERT_TRUE(Statuses().count(name)) << name;
    EXPECT_EQ(value, Statuses().at(name)) << name;
  }
  // Every status named anywhere in the guide has its row.
  const std::regex token("EFI_[A-Z_]+");
  for (std::sregex_iterator it(guide.begin(), guide.end(), token), end; it != end; ++it) {
    if (Statuses().count(it->str())) {
      EXPECT_TRUE(rows.count(it->str())) << it->str();
    }
  }
  // Every status in the driver's sources has its row; GetVariable's EFI_BUFFER_TOO_SMALL and
  // a transfer's EFI_TIMEOUT are answers the driver reads, never ones it gives.
  std::set<std::string> inSources;
  for (const auto &folder : fs::directory_iterator(kSource / "firmware")) {
    if (!folder.is_directory() || folder.path().filename() == "platform") continue;
    for (const auto &entry : fs::directory_iterator(folder.path())) {
      const std::string text = Read(entry.path());
      for (std::sregex_iterator it(text.begin(), text.end(), token), end; it != end; ++it) {
        if (Statuses().count(it->str()) && it->str() != "EFI_BUFFER_TOO_SMALL" &&
            it->str() != "EFI_TIMEOUT") {
          inSources.insert(it->str());
        }
      }
    }
  }
  for (const std::string &status : inSources) {
    EXPECT_TRUE(rows.count(status)) << status << " is used by the driver but not explained";
  }
}

TEST(IntegrationGuideTest, InfNamesTheBuiltImageAndTheGuideQuotesIt) {
  const std::string inf = Read(kInf);
  EXPECT_EQ(InfValue(inf, "MODULE_TYPE"), "DXE_DRIVER");
  const std::string base = InfValue(inf, "BASE_NAME");
  const std::string image = kImage.filename().string();
  EXPECT_EQ(base + ".efi", image);
  EXPECT_THAT(inf, HasSubstr("\n[Binaries.X64]\n  PE32|" + image + "|*\n  DXE_DEPEX|" + base +
                             ".depex|*\n"));
  EXPECT_THAT(inf, HasSubstr("\n[Depex]\n  TRUE\n"));

  // The guide quotes the module without its comment lines, and places it in an FV.
  std::string body;
  for (size_t at = 0, next; at < inf.size(); at = next + 1) {
    next = inf.find('\n', at);
    if (next == std::string::npos) next = inf.size();
    const std::string line = inf.substr(at, next - at);
    if (!line.empty() && line[0] == '#') continue;
    body += line + "\n";
  }
  const std::string guide = Read(kGuide);
  body.erase(0, body.find_first_not_of('\n'));
  EXPECT_THAT(guide, HasSubstr("```ini\n" + body + "```"));
  // It is listed for X64 in the DSC, and placed as a file the DXE dispatcher leaves alone,
  // for the platform's capsule code to load by its FILE_GUID.
  const std::string module = "KvrPkg/" + base + "/" + base + ".inf";
  EXPECT_THAT(guide, HasSubstr("[Components.X64]\n  " + module + "\n"));
  EXPECT_THAT(guide, HasSubstr("INF RuleOverride = KVR_LOAD_BY_GUID " + module + "\n"));
  EXPECT_THAT(guide, HasSubstr("[Rule.Common." + InfValue(inf, "MODULE_TYPE") +
                               ".KVR_LOAD_BY_GUID]\n  FILE APPLICATION = $(NAMED_GUID) {\n"));

  // make builds both files the module names, next to each other.
  const fs::path depex = kImage.parent_path() / (base + ".depex");
  if (!fs::exists(kImage) || !fs::exists(depex)) {
    if (std::getenv("KVR_REQUIRE_EFI_IMAGE") != nullptr) {
      FAIL() << kImage << " or " << depex << " is missing";
    }
    GTEST_SKIP() << "make efi builds " << kImage << " and " << depex;
  }
  EXPECT_EQ(Read(depex), std::string("\x06\x08", 2));  // TRUE, END
}

}  // namespace
