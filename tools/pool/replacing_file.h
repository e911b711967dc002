#pragma once

#include <fstream>
#include <memory>
#include <string>

namespace pelorus::pool {

// A file written whole or not at all: the text goes to a temporary file beside path, which
// takes path's place (on disk, with the permissions a new file gets) only on Commit. Until
// then an older file at path stays as it was; without a Commit the temporary file goes.
class ReplacingFile {
 public:
  explicit ReplacingFile(std::string path);
  ~ReplacingFile();
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  // Makes the temporary file; false with *error (naming path) when it cannot.
  bool Open(std::string* error);
  std::ostream& Stream() { return stream_; }
  // Flushes the text to disk and puts it at path; false with *error when any write failed.
  bool Commit(std::string* error);

 private:
  std::string path_;
  std::string temporary_;  // empty once committed or removed
  std::unique_ptr<char[]> buffer_;
  std::ofstream stream_;
};

}  // namespace pelorus::pool
