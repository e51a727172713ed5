// Files as the veltra tool reads and writes them. Input is read whole, never
// mapped: a file that shrinks while it is read is an error ("changed while
// it was read"), not a signal, and everything is known before the card
// changes. Output replaces a file only once it is complete: a failure never
// removes or truncates a file that was there before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tool {

// A file's bytes; a Failure if it cannot be read whole, or if it changed
// (size or time of change) while it was read.
std::vector<uint8_t> readWholeFile(const std::string& path);

// A file that takes the place of `path` when it is committed: written to a
// temporary file in the same folder, flushed to the disk, then renamed over
// the old one. Dropped without a commit, it leaves `path` as it was.
class ReplacingFile {
  public:
    explicit ReplacingFile(std::string path);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    void write(const void* data, size_t length);
    void commit();

  private:
    std::string path_, temporary_;
    intptr_t file_ = -1;
    bool committed_ = false;
};

// Writes a whole file that way.
void replaceFile(const std::string& path, const void* data, size_t length);

// Whether a file is there.
bool fileExists(const std::string& path);
// The folder part of a path ("." if none), and the last part.
std::string folderOf(const std::string& path);
std::string baseName(const std::string& path);

}  // namespace tool
