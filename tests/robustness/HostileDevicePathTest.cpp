// The camera's interfaces carrying device paths a platform should never build: no end node
// within the walk's bound (with nodes of the smallest and of the largest length), nodes
// shorter than their own header, and the bound itself exactly met. Every path lies in a
// buffer of exactly its own size, so that a read past it is caught. Each run ends at once,
// with the walk's message for every interface, and the camera untouched.
#include <gtest/gtest.h>

#include <algorithm>

#include "discovery/Discovery.h"
#include "robustness/Sweep.h"

namespace robustness {
namespace {

using Path = std::vector<uint8_t>;

void Node(Path &path, uint8_t type, uint8_t subtype, uint16_t length) {
  const size_t at = path.size();
  path.resize(at + std::max<size_t>(length, 4), 0);
  path[at] = type;
  path[at + 1] = subtype;
  path[at + 2] = static_cast<uint8_t>(length);
  path[at + 3] = static_cast<uint8_t>(length >> 8);
}
void Fillers(Path &path, size_t count, uint16_t length = 4) {
  for (size_t i = 0; i < count; i++) Node(path, HARDWARE_DEVICE_PATH, 0x04, length);
}
void UsbNode(Path &path) { Node(path, MESSAGING_DEVICE_PATH, MSG_USB_DP, 6); }
void End(Path &path) { Node(path, END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4); }

size_t Count(const std::vector<std::string> &log, const std::string &line) {
  return static_cast<size_t>(std::count(log.begin(), log.end(), line));
}

class HostileDevicePaths : public ::testing::Test {
 protected:
  static constexpr size_t kInterfaces = 2;

  // Puts the path on every interface of the camera in place of the one the bus built.
  SweepRun RunWithPath(const Path &path) {
    RunSetup setup;
    setup.inject = [&path](sim::Platform &p) {
      const EFI_GUID guid = EFI_DEVICE_PATH_PROTOCOL_GUID;
      for (EFI_HANDLE handle : p.Usb().Handles(0)) {
        p.UninstallProtocol(handle, guid);
        p.InstallProtocol(handle, guid, const_cast<uint8_t *>(path.data()));
      }
    };
    return RunCase({"path", scenario::Path::Hob, scenario::Camera::Flash}, capsule_, setup);
  }
  // The run passes the camera over at once with `message` once per interface.
  void ExpectPassedOver(const SweepRun &run, const std::string &message, const std::string &what) {
    EXPECT_EQ(ExpectSound(run, what), Ending::NothingMatched) << what;
    EXPECT_EQ(Count(run.outcome.log, message), kInterfaces) << what;
    EXPECT_EQ(run.outcome.virtualUs, 0u) << what;
    EXPECT_EQ(run.outcome.transfers, 0u) << what << ": the camera was not to be asked anything";
  }

  const capfmt::Bytes capsule_ =
      scenario::SampleCapsule(scenario::Path::Hob, SweepPayloadLength());
  const std::string noEnd_ = "DevicePath has no end within " +
                             std::to_string(KV_MAX_DEVICE_PATH_NODES) + " nodes\n";
};

TEST_F(HostileDevicePaths, PathWithoutEndIsGivenUpAtTheNodeBound) {
  Path path;
  Fillers(path, KV_MAX_DEVICE_PATH_NODES);  // exactly the nodes the walk may look at
  ExpectPassedOver(RunWithPath(path), noEnd_, "512 four-byte nodes and no end");
}

TEST_F(HostileDevicePaths, PathOfLargestNodesWithoutEndIsGivenUpAtTheNodeBound) {
  Path path;
  Fillers(path, KV_MAX_DEVICE_PATH_NODES, 0xFFFF);  // 32 MiB of path, no end
  ExpectPassedOver(RunWithPath(path), noEnd_, "512 nodes of 65535 bytes and no end");
}

TEST_F(HostileDevicePaths, EndAsTheLastNodeTheBoundAllowsIsFound) {
  Path path;
  Fillers(path, KV_MAX_DEVICE_PATH_NODES - 2);
  UsbNode(path);
  End(path);  // node 512 of 512
  const SweepRun run = RunWithPath(path);
  EXPECT_EQ(ExpectSound(run, "USB node and end as nodes 511 and 512"), Ending::Updated);
  EXPECT_EQ(Count(run.outcome.log, noEnd_), 0u);
}

TEST_F(HostileDevicePaths, EndOneNodePastTheBoundIsNotReached) {
  Path path;
  Fillers(path, KV_MAX_DEVICE_PATH_NODES - 1);
  UsbNode(path);
  End(path);  // node 513: never looked at
  ExpectPassedOver(RunWithPath(path), noEnd_, "USB node and end as nodes 512 and 513");
}

TEST_F(HostileDevicePaths, NodeShorterThanItsHeaderEndsTheWalk) {
  for (uint16_t length : {0, 1, 2, 3}) {
    Path path;
    Node(path, ACPI_DEVICE_PATH, ACPI_DP, 12);
    Node(path, HARDWARE_DEVICE_PATH, HW_PCI_DP, length);  // its 4 header bytes are there
    UsbNode(path);
    End(path);
    const std::string what = "a PCI node of length " + std::to_string(length);
    ExpectPassedOver(RunWithPath(path),
                     "DevicePath node of type 0x1 has length " + std::to_string(length) + "\n",
                     what);
  }
}

TEST_F(HostileDevicePaths, UsbNodeFollowedByAnotherInstanceIsNoCamera) {
  Path path;
  UsbNode(path);
  Node(path, END_DEVICE_PATH_TYPE, 0x01, 4);  // end of this instance, not of the path
  Node(path, ACPI_DEVICE_PATH, ACPI_DP, 12);
  End(path);
  const SweepRun run = RunWithPath(path);
  EXPECT_EQ(ExpectSound(run, "a USB node ending the first of two instances"),
            Ending::NothingMatched);
  EXPECT_EQ(Count(run.outcome.log, "DevicePath not support\n"), kInterfaces);
  EXPECT_EQ(run.outcome.transfers, 0u);
}

}  // namespace
}  // namespace robustness
