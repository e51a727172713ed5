// The files of a machine's state folder: the primitives that the shared
// store is opened over, one set per platform.
#pragma once

#include <cstdint>
#include <string>

namespace vsim::os {

using File = intptr_t;
inline constexpr File kNoFile = -1;

// "WHAT PATH: the system's reason" for the last call that failed.
std::string systemError(const std::string& what, const std::string& path);

// The separator of the folders of a path.
#if defined(_WIN32)
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

// Makes each folder of `path` that is missing; false if it is not a folder then.
bool makeFolders(const std::string& path);

// Keeps the other processes from opening or making state files in `folder`
// while it lives.
class OpeningLock {
  public:
    OpeningLock() = default;
    ~OpeningLock();
    OpeningLock(const OpeningLock&) = delete;
    OpeningLock& operator=(const OpeningLock&) = delete;
    bool take(const std::string& folder, std::string& error);

  private:
    intptr_t handle_ = 0;
};

// An existing file for reading and writing, or kNoFile.
File openFile(const std::string& path);
// A new file of `size` bytes (of which untouched ones cost no disk where the
// file system allows), or kNoFile.
File createFile(const std::string& path, uint64_t size);
bool fileSize(File file, uint64_t& size);
void closeFile(File file);
void removeFile(const std::string& path);
// Whether no other process has the file open (Linux; Windows cannot tell,
// and says no).
bool soleUser(File file);
// Marks the file as in use by this process for as long as it stays open.
void holdFile(File file);
// Removes the files of `folder` whose names begin with `prefix`, except
// `keep`, unless a process still uses them.
void removeStale(const std::string& folder, const std::string& prefix, const std::string& keep);

}  // namespace vsim::os
