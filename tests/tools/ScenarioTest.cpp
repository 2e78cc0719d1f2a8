// Whole update runs through the driver's entry point, one per camera and capsule path, as
// kvr-scenario and make demo run them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include <unistd.h>

#include "platform/Platform.h"
#include "tools/Scenario.h"
#include "tools/UsbCapture.h"

namespace {

using scenario::Camera;
using scenario::Path;
using ::testing::ElementsAre;

struct Case {
  Path path;
  Camera camera;
};

class UpdateScenarioTest : public ::testing::TestWithParam<Case> {};

TEST_P(UpdateScenarioTest, CameraEndsWithTheNewFirmwareAndOnlyTheRecordStaysAllocated) {
  scenario::Options options;
  options.path = GetParam().path;
  options.camera = GetParam().camera;
  scenario::Outcome outcome = scenario::Run(scenario::SampleCapsule(options.path), options);
  EXPECT_EQ(outcome.status, EFI_SUCCESS) << outcome.cameraState;
  EXPECT_TRUE(outcome.cameraHoldsImage) << outcome.cameraState;
  ASSERT_FALSE(outcome.progress.empty());
  EXPECT_EQ(outcome.progress.front(), 10u);
  EXPECT_EQ(outcome.progress.back(), 100u);
  EXPECT_EQ(outcome.poolBlocksLeft, 0u);  // the run frees the record and its descriptors
  EXPECT_EQ(outcome.log.back(), "Korvane camera Flash driver entry <=\r\n");

  // The counts are the record's, and a run that keeps no record gives the same ones.
  uint64_t bytesOut = 0, bytesIn = 0;
  for (const sim::Transfer &t : outcome.transferLog) {
    bytesOut += t.dataOut.size();
    bytesIn += t.dataIn.size();
  }
  EXPECT_EQ(outcome.transfers, outcome.transferLog.size());
  EXPECT_EQ(outcome.bytesOut, bytesOut);
  EXPECT_EQ(outcome.bytesIn, bytesIn);
  options.detailedRecord = false;
  const scenario::Outcome lean = scenario::Run(scenario::SampleCapsule(options.path), options);
  EXPECT_EQ(lean.status, outcome.status);
  EXPECT_EQ(lean.progress, outcome.progress);
  EXPECT_EQ(lean.log.size(), outcome.log.size());  // the lines hold handle addresses
  EXPECT_EQ(lean.transfers, outcome.transfers);
  EXPECT_EQ(lean.bytesOut, outcome.bytesOut);
  EXPECT_EQ(lean.bytesIn, outcome.bytesIn);
  EXPECT_EQ(lean.allocations, outcome.allocations);
  EXPECT_TRUE(lean.transferLog.empty() && lean.stalls.empty() && lean.allocationSizes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    EveryPathAndWay, UpdateScenarioTest,
    ::testing::Values(Case{Path::Hob, Camera::Flash}, Case{Path::CapsuleOnRam, Camera::Flash},
                      Case{Path::Insyde, Camera::Flash}, Case{Path::Hob, Camera::DfuInterface},
                      Case{Path::Hob, Camera::DfuCapable},
                      Case{Path::Insyde, Camera::DfuInterface},
                      Case{Path::CapsuleOnRam, Camera::DfuCapable}));

TEST(UpdateScenario, NoCameraOrOtherIdsUpdateNothing) {
  for (Camera camera : {Camera::None, Camera::OtherIds}) {
    scenario::Options options;
    options.camera = camera;
    scenario::Outcome outcome = scenario::Run(scenario::SampleCapsule(Path::Hob), options);
    EXPECT_EQ(outcome.status, EFI_SUCCESS);  // the progress protocol's lookup status
    EXPECT_THAT(outcome.progress, ElementsAre(10u));
    EXPECT_FALSE(outcome.cameraHoldsImage);
    options.progressProtocol = false;
    EXPECT_EQ(scenario::Run(scenario::SampleCapsule(Path::Hob), options).status, EFI_NOT_FOUND);
  }
}

TEST(UpdateScenario, StallingCameraFailsWithDeviceErrorAndNeverReportsCompletion) {
  scenario::Options options;
  options.camera = Camera::Stalling;
  scenario::Outcome outcome = scenario::Run(scenario::SampleCapsule(Path::Hob), options);
  EXPECT_EQ(outcome.status, EFI_DEVICE_ERROR);
  EXPECT_FALSE(outcome.cameraHoldsImage);
  EXPECT_THAT(outcome.progress, ElementsAre(10u));
  EXPECT_EQ(outcome.poolBlocksLeft, 0u);
}

// Another model stranded in its DFU ROM device beside the camera: the camera is updated and
// the judge of the other device sees it left alone. Alone on the bus, on the port a record of
// this image names, the same ROM device is written, and the judge says so.
TEST(UpdateScenario, OtherDeviceIsJudgedByWhatReachedItsPort) {
  const capfmt::Bytes capsule = scenario::SampleCapsule(Path::Hob, 5 * 4096 + 1000);
  scenario::Options options;
  options.camera = Camera::DfuCapable;
  options.others = {scenario::MakeOther(scenario::Other::OtherRom)};
  std::vector<sim::Platform::StoredVariable> store;
  options.nonVolatile = &store;
  scenario::Outcome beside = scenario::Run(capsule, options);
  EXPECT_EQ(beside.status, EFI_SUCCESS);
  EXPECT_TRUE(beside.cameraHoldsImage);
  EXPECT_FALSE(beside.otherWritten);
  EXPECT_THAT(beside.othersState,
              ElementsAre("port 1: 3B5A:4C00 bcdDevice 0100, the DFU ROM device, requests 1 "
                          "(class or vendor 0), 0 bytes received by DFU, flash untouched; left "
                          "alone"));
  EXPECT_TRUE(store.empty()) << "the camera came back on its port: no record stays";

  // A cut in the camera's download leaves a record of its port, 0; the next boot finds
  // another model's ROM device there: the record is all the driver has, and it is trusted.
  options.others.clear();
  options.adjustCamera = [](camera::Camera &c) {
    c.Misbehave().powerCut = camera::PowerCutRule{camera::DfuBlockDownload(2), 0};
  };
  ASSERT_EQ(scenario::Run(capsule, options).status, EFI_DEVICE_ERROR);
  ASSERT_EQ(store.size(), 1u);
  options.camera = Camera::None;
  options.adjustCamera = nullptr;
  options.others = {scenario::MakeOther(scenario::Other::OtherRom)};
  scenario::Outcome swapped = scenario::Run(capsule, options);
  EXPECT_TRUE(swapped.otherWritten);
  ASSERT_EQ(swapped.othersState.size(), 1u);
  EXPECT_THAT(swapped.othersState[0], ::testing::StartsWith("port 0: 3B5A:4C15 bcdDevice 0101"));
  EXPECT_THAT(swapped.othersState[0], ::testing::EndsWith("; WRITTEN"));
}

TEST(UpdateScenario, VariableStoreTextReadsBackAsWritten) {
  const EFI_GUID guid = {0x063FCEBE, 0x765E, 0x48BC,
                         {0xB4, 0xE2, 0x54, 0x9B, 0xEB, 0xD3, 0x95, 0xB0}};
  const std::vector<sim::Platform::StoredVariable> store = {
      {u"KvrDfuInFlight", guid, 0x3, {0x4B, 0x56, 0x00, 0xFF}}, {u"Empty", guid, 0x7, {}}};
  std::string text, error;
  ASSERT_TRUE(scenario::VariablesText(store, &text, &error)) << error;
  EXPECT_EQ(text,
            "kvr-variables 1\n"
            "variable guid=063FCEBE-765E-48BC-B4E2-549BEBD395B0 name=KvrDfuInFlight "
            "attributes=0x00000003 data=4b5600ff\n"
            "variable guid=063FCEBE-765E-48BC-B4E2-549BEBD395B0 name=Empty attributes=0x00000007 "
            "data=-\n"
            "end\n");
  std::vector<sim::Platform::StoredVariable> back;
  ASSERT_TRUE(scenario::ParseVariables(text, &back, &error)) << error;
  ASSERT_EQ(back.size(), 2u);
  for (size_t i = 0; i < back.size(); i++) {
    EXPECT_EQ(back[i].name, store[i].name);
    EXPECT_EQ(std::memcmp(&back[i].guid, &guid, sizeof guid), 0);
    EXPECT_EQ(back[i].attributes, store[i].attributes);
    EXPECT_EQ(back[i].data, store[i].data);
  }
  EXPECT_FALSE(scenario::VariablesText({{u"two words", guid, 3, {}}}, &text, &error));
  for (const char *bad : {"kvr-variables 1\nvariable guid=063FCEBE name=A attributes=0x3 "
                          "data=-\nend\n",
                          "kvr-variables 1\nvariable guid=063FCEBE-765E-48BC-B4E2-549BEBD395B0 "
                          "name=A attributes=0x3 data=4b5\nend\n",
                          "kvr-variables 1\nvariable guid=063FCEBE-765E-48BC-B4E2-549BEBD395B0 "
                          "name=A attributes=0x3 data=-\n"}) {
    EXPECT_FALSE(scenario::ParseVariables(bad, &back, &error)) << bad;
  }
}


// ---------------------------------------------------------------- USB captures

std::string Shell(const std::string &command) {
  std::string output;
  FILE *pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return output;
  std::array<char, 4096> chunk;
  while (size_t n = fread(chunk.data(), 1, chunk.size(), pipe)) output.append(chunk.data(), n);
  pclose(pipe);
  return output;
}

size_t Lines(const std::string &text) { return std::count(text.begin(), text.end(), '\n'); }

// A UVC class request names an entity in wIndex's high byte; a DFU request only an interface
// (both send SET_CUR and DFU_DNLOAD as request 1 of type 0x21).
bool IsUvc(const sim::Transfer &t) {
  return (t.setup.RequestType & 0x60) == 0x20 && (t.setup.Index >> 8) != 0;
}
bool IsDfuDownload(const sim::Transfer &t) {
  return t.setup.RequestType == 0x21 && t.setup.Request == 1 && (t.setup.Index >> 8) == 0;
}

// A flash-path and a DFU-path run written as captures: tshark reads back every transfer,
// a submission and a completion each, and decodes the update as USB, UVC (the extension
// unit's SET_CUR/GET_CUR) and DFU (by Decode As on the devices the DFU requests went to).
TEST(UsbCaptureTest, TsharkDecodesEveryTransferOfTheRun) {
  if (system("tshark --version > /dev/null 2>&1") != 0) {
    if (std::getenv("KVR_REQUIRE_TSHARK") != nullptr) FAIL() << "tshark is not installed";
    GTEST_SKIP() << "tshark is not installed (make test installs it)";
  }
  for (Camera camera : {Camera::Flash, Camera::DfuInterface}) {
    SCOPED_TRACE(scenario::Name(camera));
    scenario::Options options;
    options.camera = camera;
    const scenario::Outcome outcome = scenario::Run(scenario::SampleCapsule(Path::Hob, 13 * 1024), options);
    ASSERT_EQ(outcome.status, EFI_SUCCESS);
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("kvr-capture-" + std::string(scenario::Name(camera)) + ".pcap")).string();
    usbcap::CaptureFile file;
    ASSERT_TRUE(file.Open(path)) << file.Error();
    for (const usbcap::ControlTransfer &t : scenario::CaptureOf(outcome.transferLog)) file.Write(t);
    ASSERT_TRUE(file.Close()) << file.Error();
    EXPECT_EQ(file.Transfers(), outcome.transfers);

    const std::string tshark = "tshark -n -r " + path;
    EXPECT_EQ(Lines(Shell(tshark + " -Y \"usb.transfer_type == 0x02 && usb.urb_type == 'S'\"")),
              outcome.transfers);
    EXPECT_EQ(Lines(Shell(tshark + " -Y \"usb.transfer_type == 0x02 && usb.urb_type == 'C'\"")),
              outcome.transfers);
    EXPECT_EQ(Shell(tshark + " -Y _ws.malformed"), "");

    size_t uvc = 0, downloads = 0, emptyDownloads = 0;
    std::set<uint8_t> dfuDevices;
    for (const sim::Transfer &t : outcome.transferLog) {
      if (IsUvc(t)) uvc++;
      if (IsDfuDownload(t)) {
        downloads++;
        emptyDownloads += t.setup.Length == 0;
        dfuDevices.insert(t.address);
      }
    }
    EXPECT_EQ(Lines(Shell(tshark + " -Y usbvideo.control.selector")), 2 * uvc);
    std::string decodeAs;
    for (uint8_t address : dfuDevices) {
      char option[64];  // Decode As by bus 1 and the device's address
      std::snprintf(option, sizeof option, " -d usb.device==0x%08x,usbdfu", 0x10000u | address);
      decodeAs += option;
    }
    EXPECT_EQ(Lines(Shell(tshark + decodeAs + " -Y \"usbdfu.command == 1\"")), downloads);
    // Wireshark's DFU dissector wants a data byte after every DFU_DNLOAD setup packet: the
    // empty download that ends the image (and its completion) is all it calls malformed.
    EXPECT_EQ(Lines(Shell(tshark + decodeAs + " -Y _ws.malformed")), 2 * emptyDownloads);
    if (camera == Camera::Flash) {
      EXPECT_GT(uvc, 0u);
    } else {
      EXPECT_GT(downloads, 1u);
      EXPECT_EQ(emptyDownloads, 1u);
    }
    std::filesystem::remove(path);
  }
}

// A capture that cannot be written is reported, and the run is what it is without one.
TEST(UsbCaptureTest, AnUnwritableCaptureLeavesTheRunAlone) {
  const std::string run = std::string(KVR_SCENARIO_PATH) + " --camera flash";
  const std::string plain = Shell(run);
  std::string failed;
  FILE *pipe = popen((run + " --pcap /nonexistent/dir/run.pcap 2>&1; echo exit=$?").c_str(), "r");
  std::array<char, 4096> chunk;
  while (size_t n = fread(chunk.data(), 1, chunk.size(), pipe)) failed.append(chunk.data(), n);
  pclose(pipe);
  EXPECT_THAT(failed, ::testing::HasSubstr("kvr-scenario: cannot create the capture "
                                           "/nonexistent/dir/run.pcap: No such file or directory; "
                                           "the run goes on without it\n"));
  EXPECT_THAT(failed, ::testing::HasSubstr(plain));
  EXPECT_THAT(failed, ::testing::HasSubstr("capture:  NOT written: cannot create the capture "
                                           "/nonexistent/dir/run.pcap"));
  EXPECT_THAT(failed, ::testing::EndsWith("exit=0\n"));
}

// Two boots of one machine on the command line: the cut boot leaves the in-flight record in
// the --variables file, the next finishes the update from it and deletes it; without the
// record the ROM device is left alone.
TEST(KvrScenarioTool, VariablesFileCarriesTheInFlightRecordToTheNextBoot) {
  const std::string store = (std::filesystem::temp_directory_path() /
                             ("kvr-variables-" + std::to_string(getpid()) + ".txt"))
                                .string();
  std::filesystem::remove(store);
  const std::string tool =
      std::string(KVR_SCENARIO_PATH) + " --path capsule-on-ram --variables " + store;
  const std::string cut = Shell(tool + " --camera dfu-capable --power-cut 21.01:15; echo exit=$?");
  EXPECT_THAT(cut, ::testing::HasSubstr("status:   Device Error (0x8000000000000007)\n"));
  EXPECT_THAT(cut, ::testing::HasSubstr("variables: " + store + ", 1 non-volatile\n"));
  const std::string text = Shell("cat " + store);
  EXPECT_THAT(text, ::testing::MatchesRegex(
                        "kvr-variables 1\nvariable guid=063FCEBE-765E-48BC-B4E2-549BEBD395B0 "
                        "name=KvrDfuInFlight attributes=0x00000003 "
                        "data=4b564946[0-9a-f]{298}\nend\n"));
  const std::string second = Shell(tool + " --camera dfu-rom; echo exit=$?");
  EXPECT_THAT(second, ::testing::HasSubstr("status:   Success (0x0)\n"));
  EXPECT_THAT(second, ::testing::HasSubstr("variables: " + store + ", 0 non-volatile\n"));
  EXPECT_THAT(second, ::testing::EndsWith("exit=0\n"));
  const std::string third = Shell(tool + " --camera dfu-rom; echo exit=$?");
  EXPECT_THAT(third, ::testing::HasSubstr("status:   Not Ready (0x8000000000000006)\n"));
  EXPECT_THAT(third, ::testing::EndsWith("exit=1\n"));

  EXPECT_EQ(Shell("echo nonsense > " + store + "; " + tool +
                   " --camera dfu-rom 2>&1; echo exit=$?"),
            "kvr-scenario: " + store +
                ": not a whole variable store (kvr-variables 1 ... end)\nexit=2\n");
  std::filesystem::remove(store);
  const std::string beside = Shell(std::string(KVR_SCENARIO_PATH) +
                                   " --camera dfu-capable --other other-rom; echo exit=$?");
  EXPECT_THAT(beside, ::testing::HasSubstr("\nother:    other-rom\n"));
  EXPECT_THAT(beside, ::testing::HasSubstr(
                          "\nother:    port 1: 3B5A:4C00 bcdDevice 0100, the DFU ROM device"));
  EXPECT_THAT(beside, ::testing::EndsWith("; left alone\nexit=0\n"));
}

}  // namespace
