// The capsules EDK II's GenerateCapsule made (tests/vectors/edk2-capsules/README.md).
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vectors {

inline std::filesystem::path Folder() {
  return std::filesystem::path(KVR_SOURCE_DIR) / "tests" / "vectors" / "edk2-capsules";
}

inline std::string Path(const std::string &name) { return (Folder() / name).string(); }

// The file's bytes; empty when it cannot be read.
inline std::vector<uint8_t> Read(const std::string &name) {
  std::ifstream in(Folder() / name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The three capsules and the files they were made from.
inline const std::vector<std::string> &Capsules() {
  static const std::vector<std::string> names = {"unsigned.cap", "signed.cap", "nodriver.cap"};
  return names;
}
inline const std::vector<std::string> &Files() {
  static const std::vector<std::string> names = {"unsigned.cap", "signed.cap", "nodriver.cap",
                                                 "cam.img", "embedded-driver.efi",
                                                 "trusted-root.pub.pem"};
  return names;
}

}  // namespace vectors
