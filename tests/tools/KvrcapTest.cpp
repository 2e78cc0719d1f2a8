// kvrcap from the command line: what it builds the driver finds, and what it reports on a
// capsule the driver would not use.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "emu/harness/HarnessCore.h"
#include "tools/CapsuleFormat.h"

namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

struct Result {
  int status;
  std::string output;
};

class KvrcapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("kvrcap-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::create_directories(dir);
    std::ofstream(dir / "fw.bin", std::ios::binary) << std::string(10000, '\x5A');
  }
  void TearDown() override { fs::remove_all(dir); }

  Result Kvrcap(const std::string &arguments) {
    std::string command = std::string(KVRCAP_PATH) + " " + arguments + " 2>&1";
    Result run{-1, ""};
    FILE *pipe = popen(command.c_str(), "r");
    std::array<char, 512> chunk;
    while (size_t n = fread(chunk.data(), 1, chunk.size(), pipe)) run.output.append(chunk.data(), n);
    int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
  }
  std::string P(const std::string &name) { return (dir / name).string(); }
  static capfmt::Bytes ReadBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return capfmt::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static void WriteBytes(const std::string &path, const capfmt::Bytes &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
  }

  fs::path dir;
};

TEST_F(KvrcapTest, FirmwareVolumeCapsuleRoundTrip) {
  ASSERT_EQ(Kvrcap("image --vid 0x3B5A --pid 0x4C15 --payload " + P("fw.bin") + " -o " + P("cam.img")).status, 0);
  ASSERT_EQ(Kvrcap("fv --image " + P("cam.img") + " -o " + P("cap.bin") + " --large-file --pad-files 2").status, 0);
  Result inspect = Kvrcap("inspect " + P("cap.bin"));
  EXPECT_EQ(inspect.status, 0) << inspect.output;
  EXPECT_THAT(inspect.output, HasSubstr("path:           firmware volume"));
  EXPECT_THAT(inspect.output, HasSubstr("VID 0x3B5A, PID 0x4C15, total size 10016 (0x2720)"));
  EXPECT_THAT(inspect.output, HasSubstr("payload:        10000 (0x2710) bytes"));
  EXPECT_THAT(inspect.output, HasSubstr("driver log:     Image found."));
  EXPECT_THAT(inspect.output, HasSubstr("result:         usable"));
}

TEST_F(KvrcapTest, FmpCapsuleRoundTrip) {
  ASSERT_EQ(Kvrcap("image --vid 0x3B5A --pid 0x4C15 --payload " + P("fw.bin") + " -o " + P("cam.img")).status, 0);
  ASSERT_EQ(Kvrcap("image --vid 1 --pid 2 --payload " + P("fw.bin") + " -o " + P("other.img")).status, 0);
  capfmt::Bytes blob = capfmt::PlaceholderDriver();  // PE headers, 329 bytes with the one below
  blob.push_back(0xCC);
  WriteBytes(P("blob.bin"), blob);
  // Drivers and images in the order given; the one driver's odd length leaves the items
  // unaligned, as a capsule may well have them.
  ASSERT_EQ(Kvrcap("fmp --driver " + P("blob.bin") + " --image " + P("other.img") + " --image " +
                   P("cam.img") + " -o " + P("cap.bin")).status, 0);
  Result inspect = Kvrcap("inspect " + P("cap.bin") + " --fmp");
  EXPECT_EQ(inspect.status, 0) << inspect.output;
  EXPECT_THAT(inspect.output, HasSubstr("capsule GUID:   6DCBD5ED-E82D-4C44-BDA1-7194199AD92A"));
  EXPECT_THAT(inspect.output, HasSubstr("driver 1:       329 (0x149) bytes at offset 64 (0x40): "
                                        "PE32+ image, machine x64 (0x8664), subsystem EFI "
                                        "boot-service driver (11), entry point 0x0\n"));
  EXPECT_THAT(inspect.output, HasSubstr("item 1:         at offset 393 (0x189): version 3, "
                                        "UpdateImageTypeId 517E0EE9-1838-4B22-973B-4FDA03313AE2, "
                                        "UpdateImageIndex 1, UpdateImageSize 10016 (0x2720), "
                                        "UpdateVendorCodeSize 0, UpdateHardwareInstance 0x0"));
  EXPECT_THAT(inspect.output, HasSubstr("(the item the driver takes)\n"));
  EXPECT_THAT(inspect.output, HasSubstr("image header:   size 16, VID 0x3B5A, PID 0x4C15"));
  // The capsule HOB and "CapsuleOnRam" hand it over the same: the driver reads its items.
  inspect = Kvrcap("inspect " + P("cap.bin"));
  EXPECT_EQ(inspect.status, 0) << inspect.output;
  EXPECT_THAT(inspect.output, HasSubstr("path:           FMP, as the capsule HOB or \"CapsuleOnRam\" "
                                        "hands it over\n"));
  // And a firmware-volume capsule read as an FMP capsule says what it is not.
  ASSERT_EQ(Kvrcap("fv --image " + P("cam.img") + " -o " + P("fv.bin")).status, 0);
  EXPECT_THAT(Kvrcap("inspect " + P("fv.bin") + " --fmp").output,
              HasSubstr("warning:        the capsule GUID is not the FMP capsule GUID "
                        "6DCBD5ED-E82D-4C44-BDA1-7194199AD92A: this is no FMP capsule"));
}

// The capsule a platform's capsule library gets: the driver built by make, embedded byte
// for byte where the library (and the emulator's harness) takes it from.
TEST_F(KvrcapTest, FmpCapsuleCarriesTheBuiltDriverByteForByte) {
  if (!fs::exists(KVR_EFI_IMAGE_PATH)) {
    if (std::getenv("KVR_REQUIRE_EFI_IMAGE") != nullptr) FAIL() << KVR_EFI_IMAGE_PATH << " is missing";
    GTEST_SKIP() << "make efi builds " << KVR_EFI_IMAGE_PATH;
  }
  ASSERT_EQ(Kvrcap("image --vid 0x3B5A --pid 0x4C15 --payload " + P("fw.bin") + " -o " + P("cam.img")).status, 0);
  ASSERT_EQ(Kvrcap("fmp --driver " + std::string(KVR_EFI_IMAGE_PATH) + " --image " + P("cam.img") +
                   " -o " + P("cap.bin")).status, 0);
  const capfmt::Bytes capsule = ReadBytes(P("cap.bin"));
  const capfmt::Bytes driver = ReadBytes(KVR_EFI_IMAGE_PATH);
  const capfmt::FmpLayout layout = capfmt::ReadFmpLayout(capsule);
  ASSERT_EQ(layout.drivers.size(), 1u);
  ASSERT_EQ(layout.drivers[0].length, driver.size());
  EXPECT_TRUE(std::equal(driver.begin(), driver.end(), capsule.begin() + layout.drivers[0].offset));
  harness::EmbeddedDriver found{};
  harness::TextLine why;
  ASSERT_TRUE(harness::FindEmbeddedDriver(capsule.data(), capsule.size(), 0, &found, &why))
      << why.Text();
  EXPECT_EQ(found.offset, layout.drivers[0].offset);
  EXPECT_EQ(found.length, driver.size());
  EXPECT_EQ(found.count, 1);

  Result inspect = Kvrcap("inspect " + P("cap.bin") + " --fmp");
  EXPECT_EQ(inspect.status, 0) << inspect.output;
  EXPECT_THAT(inspect.output, HasSubstr("driver 1:       " + std::to_string(driver.size())));
  EXPECT_THAT(inspect.output, HasSubstr(": PE32+ image, machine x64 (0x8664), subsystem EFI "
                                        "boot-service driver (11), entry point 0x"));
}

TEST_F(KvrcapTest, CorruptedCapsuleNamesTheProblemAndFails) {
  capfmt::Bytes image = capfmt::MakeImage(0x3B5A, 0x4C15, capfmt::Bytes(100, 1));
  image[12] = 0xFF;  // dwTotalSize far beyond the image
  capfmt::Bytes capsule = capfmt::MakeFvCapsule(image);
  std::ofstream(P("bad.bin"), std::ios::binary)
      .write(reinterpret_cast<const char *>(capsule.data()), (std::streamsize)capsule.size());
  Result inspect = Kvrcap("inspect " + P("bad.bin"));
  EXPECT_EQ(inspect.status, 1);
  EXPECT_THAT(inspect.output, HasSubstr("problem:        Camera image total size 0xff exceeds the located image of 0x74 bytes."));
  EXPECT_THAT(inspect.output, HasSubstr("result:         NOT usable"));

  fs::resize_file(P("bad.bin"), 100);  // cut short: the header now claims more than the file
  inspect = Kvrcap("inspect " + P("bad.bin"));
  EXPECT_EQ(inspect.status, 1);
  EXPECT_THAT(inspect.output, HasSubstr("but the file holds 100"));

  // A CapsuleImageSize short of the file: the driver reads only that much and finds no
  // camera file, whatever the rest of the file holds.
  capfmt::Bytes good = capfmt::MakeFvCapsule(capfmt::MakeImage(0x3B5A, 0x4C15, capfmt::Bytes(100, 1)));
  const size_t size = good.size();
  good[24] = 120;  // CapsuleImageSize: the FV header and a little more
  good[25] = good[26] = good[27] = 0;
  WriteBytes(P("short.bin"), good);
  inspect = Kvrcap("inspect " + P("short.bin"));
  EXPECT_EQ(inspect.status, 1) << inspect.output;
  EXPECT_THAT(inspect.output, HasSubstr("warning:        the file holds " + std::to_string(size - 120) +
                                        " bytes after CapsuleImageSize (120); the driver reads none of them\n"));
  EXPECT_THAT(inspect.output, HasSubstr("result:         NOT usable\n"));
}

TEST_F(KvrcapTest, UsageErrorsAreOneLineAndHelpIsThere) {
  Result missing = Kvrcap("image --pid 1 --payload " + P("fw.bin") + " -o " + P("x"));
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.output, "kvrcap image: --vid is required (try kvrcap image --help)\n");
  Result range = Kvrcap("image --vid 0x10000 --pid 1 --payload " + P("fw.bin") + " -o " + P("x"));
  EXPECT_EQ(range.status, 2);
  EXPECT_THAT(range.output, HasSubstr("VID '0x10000' is not a number from 0 to 65535"));
  EXPECT_EQ(Kvrcap("fv --image " + P("absent.img") + " -o " + P("x")).output,
            "kvrcap fv: cannot read " + P("absent.img") + "\n");
  EXPECT_EQ(Kvrcap("fmp --driver " + P("fw.bin") + " -o " + P("x")).output,
            "kvrcap fmp: --image is required (try kvrcap fmp --help)\n");
  try {
    capfmt::MakeFvCapsule(capfmt::Bytes(0xFFFFFF, 0));
    ADD_FAILURE() << "a camera file over 16 MiB without the large-file header";
  } catch (const std::runtime_error &e) {
    EXPECT_THAT(e.what(), HasSubstr("needs the large-file header: give --large-file"));
  }
  for (const char *command : {"image", "fv", "fmp", "inspect"}) {
    Result help = Kvrcap(std::string(command) + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.output, HasSubstr("usage: kvrcap " + std::string(command)));
  }
}

TEST_F(KvrcapTest, InspectShowsTheVersionBlockAndTheDfuDownload) {
  capfmt::Bytes payload(126992, 0x5A);
  capfmt::PutVersionBlock(payload, {.offset = 0x2000, .chipId = 0x4C16, .vid = 0x3B5A,
                                    .pid = 0x4C16, .version = 0x0305});
  capfmt::Bytes capsule = capfmt::MakeFvCapsule(capfmt::MakeImage(0x3B5A, 0x4C16, payload));
  std::ofstream(P("dfu.bin"), std::ios::binary)
      .write(reinterpret_cast<const char *>(capsule.data()), (std::streamsize)capsule.size());
  Result inspect = Kvrcap("inspect " + P("dfu.bin"));
  EXPECT_EQ(inspect.status, 0) << inspect.output;
  EXPECT_THAT(inspect.output,
              HasSubstr("version block:  offset 8192 (0x2000), chip ID 0x4C16, VID 0x3B5A, PID "
                        "0x4C16, version 0x0305\n"));
  EXPECT_THAT(inspect.output,
              HasSubstr("DFU download:   126976 (0x1F000) bytes in 31 blocks of at most 4096\n"));
  EXPECT_THAT(inspect.output, HasSubstr("result:         usable by the flash path and the DFU path\n"));

  // The fixture's payload has no version block: a DFU update would refuse it.
  ASSERT_EQ(Kvrcap("image --vid 1 --pid 2 --payload " + P("fw.bin") + " -o " + P("cam.img")).status, 0);
  ASSERT_EQ(Kvrcap("fv --image " + P("cam.img") + " -o " + P("cap.bin")).status, 0);
  inspect = Kvrcap("inspect " + P("cap.bin"));
  EXPECT_THAT(inspect.output, HasSubstr("version block:  none (a DFU update refuses this image)\n"));
  EXPECT_THAT(inspect.output, HasSubstr("DFU download:   10000 (0x2710) bytes in 3 blocks"));
  EXPECT_THAT(inspect.output, HasSubstr("result:         usable by the flash path; the DFU path "
                                        "refuses it (no firmware version block)\n"));
}

}  // namespace
