// The files of a machine's state folder: the primitives that the shared
// store is opened over, one set per platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// A folder of state files, held open while it is used. On Linux every
// folder from the state folder down, and every file in them, must be this
// user's own and writable by nobody else, and none of them may be a symbolic
// link. Each name is looked up in the folder held open before it, so a
// folder renamed or replaced on the way cannot lead elsewhere.
class StateFolder {
  public:
    StateFolder() = default;
    ~StateFolder();
    StateFolder(const StateFolder&) = delete;
    StateFolder& operator=(const StateFolder&) = delete;

    // Opens `root` + `sub` (`sub`: one name, or empty), making what is
    // missing for this user alone; false, and the reason as one line, if it
    // cannot be made or is not safe to use.
    bool open(const std::string& root, const std::string& sub, std::string& error);
    // Keeps the other processes from opening or making state files in the
    // folder until the folder is closed.
    bool lock(std::string& error);

    // An existing file, or kNoFile: there is none (`error` stays empty), or
    // it is not safe to use (`error` says why).
    File openFile(const std::string& name, std::string& error);
    // A new file of `size` bytes (untouched ones cost no disk where the file
    // system allows), or kNoFile.
    File createFile(const std::string& name, uint64_t size);
    // Renames a file; false if `to` exists already (it is never replaced).
    bool renameFile(const std::string& from, const std::string& to);
    void removeFile(const std::string& name);
    // Removes the file unless a process still uses it (Windows: unless a
    // process has it open without letting it be deleted).
    void removeUnused(const std::string& name);
    // The names of the files in the folder.
    std::vector<std::string> fileNames() const;

    const std::string& path() const { return path_; }
    // The path of a file of the folder.
    std::string pathOf(const std::string& name) const { return path_ + kSeparator + name; }
    // Whether the last failure was a refusal: the folder or a file in it is
    // another user's, others may change it, or it is a symbolic link.
    bool refused() const { return refused_; }

  private:
    std::string path_;
    [[maybe_unused]] intptr_t folder_ = -1;  // Linux: the folder's descriptor
    intptr_t lock_ = -1;
    bool refused_ = false;
};

bool fileSize(File file, uint64_t& size);
void closeFile(File file);
// Whether no other process has the file open (Linux; Windows cannot tell,
// and says no).
bool soleUser(File file);
// Marks the file as in use by this process for as long as it stays open.
void holdFile(File file);

}  // namespace vsim::os
