// Writing the camera server's final state.
#include "emu/server/StateFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace emu {

namespace {

bool ValidBlobName(const std::string &name) {
  if (name.empty() || name.size() > 40) {
    return false;
  }
  for (const char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-';
    if (!ok) {
      return false;
    }
  }
  return true;
}

std::string BaseName(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string BlobPath(const std::string &statePath, const std::string &name) {
  return statePath + "." + name + ".bin";
}

// Writes bytes to path through path + ".tmp" and a rename.
bool WriteWhole(const std::string &path, const void *data, size_t size, std::string *error) {
  const std::string temporary = path + ".tmp";
  FILE *file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot create " + temporary + ": " + std::strerror(errno);
    return false;
  }
  const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    *error = "cannot write " + temporary;
    std::remove(temporary.c_str());
    return false;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::string Hex(uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

std::string HexBytes(const std::vector<uint8_t> &bytes) {
  if (bytes.empty()) {
    return "-";
  }
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

void StateFile::Add(const std::string &key, const std::string &fields) {
  records_.emplace_back(key, fields);
}

void StateFile::AddBlob(const std::string &name, std::vector<uint8_t> bytes) {
  if (!ValidBlobName(name)) {
    throw std::invalid_argument("blob name '" + name + "': letters, digits and '-' only");
  }
  blobs_.emplace_back(name, std::move(bytes));
}

std::string StateFile::Text(const std::string &statePath) const {
  std::string text = "kvr-camera-state 1\n";
  for (const auto &[key, fields] : records_) {
    text += key;
    if (!fields.empty()) {
      text += ' ';
      text += fields;
    }
    text += '\n';
  }
  for (const auto &[name, bytes] : blobs_) {
    text += "blob name=" + name + " file=" + BaseName(BlobPath(statePath, name)) +
            " size=" + std::to_string(bytes.size()) + "\n";
  }
  text += "end\n";
  return text;
}

bool StateFile::Write(const std::string &statePath, std::string *error) const {
  for (const auto &[name, bytes] : blobs_) {
    if (!WriteWhole(BlobPath(statePath, name), bytes.data(), bytes.size(), error)) {
      return false;
    }
  }
  const std::string text = Text(statePath);
  return WriteWhole(statePath, text.data(), text.size(), error);
}

const std::string &SavedState::Field(const std::string &record, const std::string &name) const {
  const auto r = records.find(record);
  if (r != records.end()) {
    const auto f = r->second.find(name);
    if (f != r->second.end()) {
      return f->second;
    }
  }
  throw std::invalid_argument("the saved state has no field " + record + "." + name);
}

const std::vector<uint8_t> &SavedState::Blob(const std::string &name) const {
  const auto it = blobs.find(name);
  if (it == blobs.end()) {
    throw std::invalid_argument("the saved state has no blob " + name);
  }
  return it->second;
}

bool ReadStateFile(const std::string &statePath, SavedState *saved, std::string *error) {
  std::ifstream in(statePath);
  if (!in) {
    *error = "cannot read " + statePath + ": " + std::strerror(errno);
    return false;
  }
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  if (lines.size() < 2 || lines.front() != "kvr-camera-state 1" || lines.back() != "end") {
    *error = statePath + " is no whole camera state file";
    return false;
  }
  const size_t slash = statePath.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : statePath.substr(0, slash + 1);
  *saved = SavedState{};
  for (size_t i = 1; i + 1 < lines.size(); i++) {
    std::istringstream words(lines[i]);
    std::string key;
    words >> key;
    if (key == "persona") {
      words >> saved->persona;
      continue;
    }
    std::map<std::string, std::string> fields;
    for (std::string word; words >> word;) {
      const size_t equals = word.find('=');
      if (equals != std::string::npos) {
        fields.emplace(word.substr(0, equals), word.substr(equals + 1));
      }
    }
    if (key == "blob") {
      const std::string name = fields["name"], file = fields["file"];
      if (!ValidBlobName(name) || file.empty() || file.find('/') != std::string::npos) {
        *error = statePath + ": blob record not understood: " + lines[i];
        return false;
      }
      std::ifstream blob(folder + file, std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(blob)),
                                 std::istreambuf_iterator<char>());
      if (!blob.good() && !blob.eof()) {
        *error = "cannot read the blob " + folder + file;
        return false;
      }
      if (!blob.is_open() || std::to_string(bytes.size()) != fields["size"]) {
        *error = "the blob " + folder + file + " is missing or not of " + fields["size"] +
                 " bytes";
        return false;
      }
      saved->blobs.emplace(name, std::move(bytes));
      continue;
    }
    saved->records.emplace(key, std::move(fields));
  }
  if (saved->persona.empty()) {
    *error = statePath + " names no persona";
    return false;
  }
  return true;
}

}  // namespace emu
