// The harness's configuration file, text lines, progress record and result line: the
// same code that runs inside KvrHarness.efi.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "emu/harness/HarnessCore.h"
#include "tools/CapsuleFormat.h"

namespace {

using harness::Config;
using harness::Mode;
using harness::TextLine;

std::u16string Wide(const CHAR16 *text) { return std::u16string(text); }

struct Parsed {
  bool ok;
  Config config;
  std::string error;
};

Parsed Parse(const std::string &text) {
  Parsed result{};
  harness::DefaultConfig(&result.config);
  static TextLine error;
  error.Clear();
  result.ok = harness::ParseConfig(text.data(), text.size(), &result.config, &error);
  result.error = error.Text();
  return result;
}

TEST(HarnessConfigTest, DefaultsAreSmokeModeAndTheDriverAtTheRoot) {
  const Parsed p = Parse("");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.config.mode, Mode::Smoke);
  EXPECT_EQ(Wide(p.config.driver), u"\\KvrFmpDriver.efi");
  EXPECT_EQ(p.config.capsule[0], 0);
  EXPECT_FALSE(p.config.usbExpect.present);
  EXPECT_EQ(p.config.usbWaitMs, 5000u);
  EXPECT_EQ(p.config.watchdogSeconds, 300u);
  EXPECT_EQ(Wide(p.config.vendor), u"INSYDE (emulated)");
}

TEST(HarnessConfigTest, ReadsEveryKeyWithCommentsBlankLinesAndCrLf) {
  const Parsed p = Parse(
      "# written by the runner\r\n"
      "mode = insyde\r\n"
      "\r\n"
      "capsule=caps/fmp.bin   # a comment after a value\n"
      "driver = \\EFI\\kvr\\KvrFmpDriver.efi\n"
      "usb-expect = 3b5a:4C15\n"
      "usb-wait-ms = 60000\n"
      "usb-settle-ms = 250\n"
      "exercise = 3B5A:7E57\n"
      "vendor = INSYDE Corp. H2O\n"
      "watchdog-s = 0\n");
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.config.mode, Mode::Insyde);
  EXPECT_EQ(Wide(p.config.capsule), u"\\caps\\fmp.bin");
  EXPECT_EQ(Wide(p.config.driver), u"\\EFI\\kvr\\KvrFmpDriver.efi");
  EXPECT_TRUE(p.config.usbExpect.present);
  EXPECT_EQ(p.config.usbExpect.vid, 0x3B5A);
  EXPECT_EQ(p.config.usbExpect.pid, 0x4C15);
  EXPECT_EQ(p.config.usbWaitMs, 60000u);
  EXPECT_EQ(p.config.usbSettleMs, 250u);
  EXPECT_EQ(p.config.exercise.pid, 0x7E57);
  EXPECT_EQ(Wide(p.config.vendor), u"INSYDE Corp. H2O");
  EXPECT_EQ(p.config.watchdogSeconds, 0u);
}

TEST(HarnessConfigTest, EachFaultNamesItsLine) {
  EXPECT_EQ(Parse("mode = fv\ncapsule = a.bin\nspeed = 3\n").error, "line 3: unknown key 'speed'");
  EXPECT_EQ(Parse("mode = turbo\n").error, "line 1: bad value for 'mode'");
  EXPECT_EQ(Parse("\n\nmode\n").error, "line 3: no '='");
  EXPECT_EQ(Parse("usb-wait-ms = 60001\n").error, "line 1: bad value for 'usb-wait-ms'");
  EXPECT_EQ(Parse("usb-wait-ms = -1\n").error, "line 1: bad value for 'usb-wait-ms'");
  EXPECT_EQ(Parse("watchdog-s = 3601\n").error, "line 1: bad value for 'watchdog-s'");
  EXPECT_EQ(Parse("usb-expect = 3B5A4C15\n").error, "line 1: bad value for 'usb-expect'");
  EXPECT_EQ(Parse("usb-expect = 3B5A:4C1G\n").error, "line 1: bad value for 'usb-expect'");
  EXPECT_EQ(Parse("capsule = a b.bin\n").error, "line 1: bad value for 'capsule'");
  EXPECT_EQ(Parse("capsule =\n").error, "line 1: bad value for 'capsule'");
  EXPECT_EQ(Parse("vendor = " + std::string(64, 'I') + "\n").error, "line 1: bad value for 'vendor'");
  EXPECT_EQ(Parse("driver = " + std::string(127, 'd') + "\n").error, "line 1: bad value for 'driver'");
}

TEST(HarnessConfigTest, TheDriverComesFromTheCapsuleOnlyWhenOneIsHandedOver) {
  const Parsed fromCapsule = Parse("mode = insyde\ncapsule = c.bin\ndriver-source = capsule\n");
  ASSERT_TRUE(fromCapsule.ok) << fromCapsule.error;
  EXPECT_TRUE(fromCapsule.config.driverFromCapsule);
  EXPECT_FALSE(Parse("mode = fv\ncapsule = c.bin\ndriver-source = file\n").config.driverFromCapsule);
  EXPECT_TRUE(Parse("mode = fv\ncapsule = c.bin\ndriver-source = capsule\n").config.driverFromCapsule);
  EXPECT_EQ(Parse("mode = none\ndriver-source = capsule\n").error,
            "driver-source capsule needs mode fv or insyde (an FMP capsule handed over)");
  EXPECT_EQ(Parse("driver-source = flash\n").error, "line 1: bad value for 'driver-source'");
}

TEST(HarnessConfigTest, CapsuleModesNeedACapsule) {
  EXPECT_EQ(Parse("mode = fv\n").error, "mode fv needs a capsule");
  EXPECT_EQ(Parse("mode = insyde\n").error, "mode insyde needs a capsule");
  EXPECT_TRUE(Parse("mode = none\n").ok);
}

TEST(HarnessConfigTest, OversizedConfigurationIsRefused) {
  const std::string text(harness::kMaxConfigBytes + 1, '#');
  EXPECT_EQ(Parse(text).error, "the configuration is longer than 4096 bytes");
}

TEST(HarnessTextTest, NumbersAndWideText) {
  TextLine line;
  line.Hex(0).Add(' ').Hex(0x3B5A, 4).Add(' ').Hex(0x5, 4).Add(' ').Hex(0x8000000000000012ULL);
  line.Add(' ').Decimal(0).Add(' ').Decimal(18446744073709551615ULL);
  line.Add(' ').Wide(u"INSYDE\u00e9x", 100);
  EXPECT_STREQ(line.Text(), "0x0 0x3B5A 0x0005 0x8000000000000012 0 18446744073709551615 INSYDE?x");
  EXPECT_FALSE(line.Truncated());
}

TEST(HarnessTextTest, AppendsPastTheCapacityAreDroppedAndRemembered) {
  TextLine line;
  const std::string big(TextLine::kCapacity - 2, 'x');
  line.Add(big.c_str()).Add("abc");
  EXPECT_EQ(line.Length(), TextLine::kCapacity);
  EXPECT_TRUE(line.Truncated());
  EXPECT_EQ(std::string(line.Text()).substr(TextLine::kCapacity - 2), "ab");
  line.Clear();
  EXPECT_EQ(line.Length(), 0u);
  EXPECT_FALSE(line.Truncated());
}

TEST(HarnessProgressTest, RecordsEveryValueInOrder) {
  harness::ProgressRecord record;
  TextLine line;
  record.Format(&line);
  EXPECT_STREQ(line.Text(), "-");
  for (UINTN value : {10u, 1u, 2u, 100u}) {
    record.Record(value);
  }
  line.Clear();
  record.Format(&line);
  EXPECT_STREQ(line.Text(), "10,1,2,100");
  EXPECT_EQ(record.Count(), 4u);
  EXPECT_EQ(record.At(3), 100u);
}

TEST(HarnessProgressTest, ValuesBeyondTheCapacityAreCounted) {
  harness::ProgressRecord record;
  for (UINTN i = 0; i < harness::ProgressRecord::kCapacity + 3; i++) {
    record.Record(7);
  }
  EXPECT_EQ(record.Kept(), harness::ProgressRecord::kCapacity);
  EXPECT_EQ(record.Count(), harness::ProgressRecord::kCapacity + 3);
  static TextLine line;
  line.Clear();
  record.Format(&line);
  const std::string text = line.Text();
  EXPECT_EQ(text.substr(text.size() - 6), "7,7,+3");
}

TEST(HarnessProgressTest, BarFillsByFortiethsAndClampsAtFull) {
  TextLine line;
  harness::FormatProgressBar(0, &line);
  EXPECT_STREQ(line.Text(), "progress [........................................]   0%");
  line.Clear();
  harness::FormatProgressBar(50, &line);
  EXPECT_STREQ(line.Text(), "progress [####################....................]  50%");
  line.Clear();
  harness::FormatProgressBar(250, &line);
  EXPECT_STREQ(line.Text(), "progress [########################################] 250%");
}

// The port chain of KVR-USB lines: each USB() node's port, in order, whatever lies between;
// a path without one, a missing path and a broken node say so.
TEST(HarnessUsbPortsTest, EachUsbNodesPortInOrder) {
  auto ports = [](std::vector<uint8_t> path) {
    TextLine line;
    const auto *node = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(path.data());
    harness::FormatUsbPorts(path.empty() ? nullptr : node, &line);
    return std::string(line.Text());
  };
  const std::vector<uint8_t> acpi = {2, 1, 12, 0, 0xD0, 0x41, 0x03, 0x0A, 0, 0, 0, 0};
  const std::vector<uint8_t> pci = {1, 1, 6, 0, 0, 2};
  const std::vector<uint8_t> end = {0x7F, 0xFF, 4, 0};
  auto usb = [](uint8_t port, uint8_t interface) {
    return std::vector<uint8_t>{3, 5, 6, 0, port, interface};
  };
  auto join = [](std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  EXPECT_EQ(ports(join({acpi, pci, usb(1, 0), end})), "1");
  EXPECT_EQ(ports(join({acpi, pci, usb(0, 2), usb(3, 1), end})), "0.3");
  EXPECT_EQ(ports(join({acpi, pci, end, usb(4, 0)})), "-");  // nothing past the end node
  EXPECT_EQ(ports({}), "-");
  EXPECT_EQ(ports(join({acpi, pci, usb(1, 0), {3, 5, 2, 0}, usb(2, 0)})), "1.?");
  std::vector<uint8_t> endless;
  for (int i = 0; i < 40; i++) endless = join({endless, usb(1, 0)});
  std::string first32;
  for (int i = 0; i < 32; i++) first32 += i == 0 ? "1" : ".1";
  EXPECT_EQ(ports(join({endless, end})), first32);
}

TEST(HarnessResultTest, OneLineWithEveryField) {
  harness::ProgressRecord record;
  record.Record(10);
  record.Record(100);
  TextLine line;
  harness::FormatResult(Mode::Fv, harness::DriverState::Started, 0x8000000000000007ULL, record,
                        "none", &line);
  EXPECT_STREQ(line.Text(),
               "KVR-RESULT mode=fv driver=started status=0x8000000000000007 progress=10,100 "
               "progress-count=2 error=none");
  line.Clear();
  harness::FormatResult(Mode::Smoke, harness::DriverState::Absent, 0x800000000000000EULL,
                        harness::ProgressRecord(), "usb-expect", &line);
  EXPECT_STREQ(line.Text(),
               "KVR-RESULT mode=smoke driver=absent status=0x800000000000000E progress=- "
               "progress-count=0 error=usb-expect");
}

// ---------------------------------------------------------------- embedded drivers

struct Found {
  bool ok;
  harness::EmbeddedDriver driver;
  std::string error;
};

Found FindDriver(const capfmt::Bytes &capsule, UINT64 index) {
  Found found{};
  static TextLine error;
  error.Clear();
  found.ok = harness::FindEmbeddedDriver(capsule.data(), capsule.size(), index, &found.driver,
                                         &error);
  found.error = error.Text();
  return found;
}

void Put(capfmt::Bytes &b, size_t at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; i++) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

TEST(HarnessEmbeddedDriverTest, EachDriverReachesToTheNextListEntry) {
  const capfmt::Bytes a(13, 0xA1), b(40, 0xB2);
  capfmt::Bytes capsule =
      capfmt::MakeFmpCapsule({a, b}, {capfmt::MakeImage(1, 2, capfmt::Bytes(8, 0))});
  for (const auto &[index, bytes] : {std::pair<UINT64, capfmt::Bytes>{0, a}, {1, b}}) {
    const Found found = FindDriver(capsule, index);
    ASSERT_TRUE(found.ok) << found.error;
    EXPECT_EQ(found.driver.count, 2);
    ASSERT_EQ(found.driver.length, bytes.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), capsule.begin() + found.driver.offset));
  }
  EXPECT_EQ(FindDriver(capsule, 2).error, "the capsule has 2 embedded drivers");
  // Without a payload item the last driver reaches to the capsule's end.
  Put(capsule, 32 + 6, 0, 2);  // PayloadItemCount
  const Found last = FindDriver(capsule, 1);
  ASSERT_TRUE(last.ok) << last.error;
  EXPECT_EQ(last.driver.offset + last.driver.length, capsule.size());
}

TEST(HarnessEmbeddedDriverTest, EachFaultIsRefusedWithItsReason) {
  const capfmt::Bytes good =
      capfmt::MakeFmpCapsule({capfmt::Bytes(24, 0xD0)}, {capfmt::MakeImage(1, 2, {})});
  constexpr size_t kFmp = 32, kList = kFmp + 8;  // kvrcap's 32-byte capsule header
  struct Row {
    const char *what;
    std::function<void(capfmt::Bytes &)> corrupt;
    std::string error;
  };
  const std::vector<Row> rows = {
      {"cut short", [](capfmt::Bytes &c) { c.resize(27); },
       "the capsule is shorter than a capsule header"},
      {"another capsule GUID", [](capfmt::Bytes &c) { c[3] ^= 1; },
       "the capsule GUID is not the FMP capsule GUID"},
      {"CapsuleImageSize past the buffer",
       [](capfmt::Bytes &c) { Put(c, 24, c.size() + 1, 4); },
       "CapsuleImageSize " + std::to_string(good.size() + 1) + " exceeds the " +
           std::to_string(good.size()) + " bytes there are"},
      {"HeaderSize past the capsule", [](capfmt::Bytes &c) { Put(c, 16, c.size() - 4, 4); },
       "the FMP capsule header lies outside the capsule"},
      {"no driver", [](capfmt::Bytes &c) { Put(c, kFmp + 4, 0, 2); },
       "the capsule has 0 embedded drivers"},
      {"offset list past the capsule", [](capfmt::Bytes &c) { Put(c, kFmp + 6, 0xFFFF, 2); },
       "the item offset list lies outside the capsule"},
      {"driver inside the offset list", [](capfmt::Bytes &c) { Put(c, kList, 8, 8); },
       "the entry points into the FMP header or its offset list (list entry 0)"},
      {"next entry at the driver", [](capfmt::Bytes &c) { Put(c, kList + 8, 24, 8); },
       "the entry is not above the one before it (list entry 1)"},
      {"next entry past the capsule", [](capfmt::Bytes &c) { Put(c, kList + 8, c.size(), 8); },
       "the entry points at or past the capsule end (list entry 1)"},
  };
  ASSERT_TRUE(FindDriver(good, 0).ok);
  for (const Row &row : rows) {
    capfmt::Bytes capsule = good;
    row.corrupt(capsule);
    const Found found = FindDriver(capsule, 0);
    EXPECT_FALSE(found.ok) << row.what;
    EXPECT_EQ(found.error, row.error) << row.what;
  }
}

}  // namespace
