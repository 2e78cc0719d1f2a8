// The file the camera server leaves behind: what the device looked like at the end of the
// run and what it went through, for the end-to-end runner to check.
//
// Text, one record per line, each line a key followed by space-separated fields:
//
//   kvr-camera-state 1
//   persona test-device
//   device vid=0x3B5A pid=0x7E57 bcd=0x0100 connected=1 generation=0
//   ...
//   end
//
// Fields are `name=value` with no spaces inside a value; byte strings are lowercase hex,
// "-" when empty. Binary contents too large for a line (a flash image, a received image)
// go to files next to the state file, named in a `blob` line. The last line is always
// `end`; a file without it was cut short.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace emu {

// "0x" and upper-case hex digits, at least `digits` of them.
std::string Hex(uint64_t value, int digits = 1);
// Lowercase hex of every byte, "-" for none.
std::string HexBytes(const std::vector<uint8_t> &bytes);

class StateFile {
 public:
  // A record: the key and its fields, already formatted (`name=value` pairs or a word).
  void Add(const std::string &key, const std::string &fields);
  // Binary contents, written to "<state path>.<name>.bin" with a record
  // `blob name=<name> file=<file name> size=<bytes>`. name: letters, digits and '-'.
  void AddBlob(const std::string &name, std::vector<uint8_t> bytes);

  // The text as it will be written, `end` line included.
  std::string Text(const std::string &statePath) const;
  // Writes the blobs and then the text, each through a temporary file renamed into place,
  // so a reader sees either the old file or the whole new one. False with a reason in
  // error when anything fails.
  bool Write(const std::string &statePath, std::string *error) const;

 private:
  std::vector<std::pair<std::string, std::string>> records_;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> blobs_;
};

// A state file read back, for a server that starts where an earlier one ended (the camera
// as it powers up again): the persona, the first record of each key with its fields, and
// the blobs.
struct SavedState {
  std::string persona;
  std::map<std::string, std::map<std::string, std::string>> records;
  std::map<std::string, std::vector<uint8_t>> blobs;

  // The field of the record; throws std::invalid_argument when the file has none.
  const std::string &Field(const std::string &record, const std::string &name) const;
  // The blob; throws std::invalid_argument when the file has none.
  const std::vector<uint8_t> &Blob(const std::string &name) const;
};

// Reads a state file and the blobs it names (next to it). False with a reason in error
// when the file is missing, cut short (no `end`) or malformed, or a blob is missing or of
// another size than recorded.
bool ReadStateFile(const std::string &statePath, SavedState *saved, std::string *error);

}  // namespace emu
