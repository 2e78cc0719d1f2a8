// kvrcap from the command line: what it builds the driver finds, and what it reports on a
// capsule the driver would not use.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

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
  ASSERT_EQ(Kvrcap("fmp --image " + P("cam.img") + " -o " + P("cap.bin") + " --drivers 1 --items 2").status, 0);
  Result inspect = Kvrcap("inspect " + P("cap.bin") + " --fmp");
  EXPECT_EQ(inspect.status, 0) << inspect.output;
  EXPECT_THAT(inspect.output, HasSubstr("capsule GUID:   6DCBD5ED-E82D-4C44-BDA1-7194199AD92A"));
  EXPECT_THAT(inspect.output, HasSubstr("length 10016 (0x2720)"));
  // The same bytes read as a firmware-volume capsule hold no camera file.
  EXPECT_EQ(Kvrcap("inspect " + P("cap.bin")).status, 1);
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

  // The fixture's payload has no version block: a DFU update would refuse it.
  ASSERT_EQ(Kvrcap("image --vid 1 --pid 2 --payload " + P("fw.bin") + " -o " + P("cam.img")).status, 0);
  ASSERT_EQ(Kvrcap("fv --image " + P("cam.img") + " -o " + P("cap.bin")).status, 0);
  inspect = Kvrcap("inspect " + P("cap.bin"));
  EXPECT_THAT(inspect.output, HasSubstr("version block:  none (a DFU update refuses this image)\n"));
  EXPECT_THAT(inspect.output, HasSubstr("DFU download:   10000 (0x2710) bytes in 3 blocks"));
}

}  // namespace
