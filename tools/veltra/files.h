// Files as the veltra tool reads and writes them. Input is read whole, never
// mapped: a file that shrinks while it is read is an error ("changed while
// it was read"), not a signal, and everything is known before the card
// changes. Output replaces a file only once it is complete: a failure never
// removes or truncates a file that was there before.
//
// The tool runs as root or as an administrator on hosts other people use,
// so nothing it writes goes through a name someone else could have planted:
// a temporary file is made exclusively, under a name nobody can guess,
// never through a link. A file it trusts (a recovery file, the note of an
// unfinished update) must be a regular file of the user running the tool
// that nobody else may write, and is opened without following a link or
// waiting for a writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tool {

// Memory for large buffers: on Linux in huge pages where the system gives
// them (a 64 MiB image in 4 KiB pages costs a TLB miss every few kilobytes
// on a virtual machine, for every pass over it).
void* allocateLarge(size_t bytes);
void freeLarge(void* block, size_t bytes);

// Memory for bytes that are about to be read into it: not zeroed first (a
// 64 MiB image would be written twice), and large buffers in large pages.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    T* allocate(size_t count) { return static_cast<T*>(allocateLarge(count * sizeof(T))); }
    void deallocate(T* block, size_t count) noexcept { freeLarge(block, count * sizeof(T)); }
    template <typename U>
    void construct(U* at) noexcept {
        ::new (static_cast<void*>(at)) U;
    }
    template <typename U, typename... Arguments>
    void construct(U* at, Arguments&&... arguments) {
        ::new (static_cast<void*>(at)) U(std::forward<Arguments>(arguments)...);
    }
};
using Bytes = std::vector<uint8_t, UninitializedAllocator<uint8_t>>;

// A file's bytes; a Failure if it cannot be read whole, or if it changed
// (size or time of change) while it was read.
Bytes readWholeFile(const std::string& path);
// Its first `length` bytes when a length is given (a Failure if it holds
// fewer), else all of them.
Bytes readFileStart(const std::string& path, std::optional<uint64_t> length);

// The bytes of a file the tool is about to trust. A Failure says which
// check it failed: not a regular file (a link, a FIFO, a device, a folder),
// owned by another user (on Windows: by neither this user, the
// administrators nor SYSTEM), or writable by others.
Bytes readTrustedFile(const std::string& path);
// Whether a file is there for readTrustedFile (a link counts: it is there,
// and refused).
bool trustedFileExists(const std::string& path);

// Makes a folder only this user may write (on Windows: this user, the
// administrators and SYSTEM), or checks the one that is there: a Failure
// naming what is wrong with it. `othersRead`: every user may look in it
// (a monitor that runs as another account reads the cards' notes).
void makePrivateFolder(const std::string& folder, bool othersRead = false);

// A file that takes the place of `path` when it is committed: written to a
// temporary file in the same folder, flushed to the disk, then renamed over
// the old one (a link at `path` is replaced, not followed). Dropped without
// a commit, it leaves `path` as it was. The new file has the permissions of
// the one it replaces if that was this user's (else those the system gives
// a new file); with `Owner` only this user's (on Windows, and the
// administrators' and SYSTEM's), with `OwnerWrites` every user may read it.
class ReplacingFile {
  public:
    enum class Access { Inherited, Owner, OwnerWrites };
    explicit ReplacingFile(std::string path, Access access = Access::Inherited);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    void write(const void* data, size_t length);
    void commit();

  private:
    std::string path_, temporary_;
    intptr_t file_ = -1;
    intptr_t folder_ = -1;      // Linux: the folder, open
    unsigned permissions_ = 0;  // Linux: the mode the file gets when it is committed
    bool committed_ = false;
};

// Writes a whole file that way.
void replaceFile(const std::string& path, const void* data, size_t length,
                 ReplacingFile::Access access = ReplacingFile::Access::Inherited);

// An output a user names: "-" is standard output; an existing device or
// FIFO (on Windows a device or pipe) is written in place, as `cat >` writes
// it (nothing is renamed over it); a link is followed and its target
// replaced (the link stays); anything else is replaced whole, as
// ReplacingFile does. In a sticky folder every user may write, a link,
// FIFO or device of another user is refused, as the system refuses it.
class OutputFile {
  public:
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(const void* data, size_t length);
    void commit();
    // Whether the output is standard output: what the tool says of its work
    // then goes to stderr.
    bool standardOutput() const { return standardOutput_; }

  private:
    std::string path_;
    std::unique_ptr<ReplacingFile> replacing_;
    intptr_t direct_ = -1;
    bool standardOutput_ = false;
};

// Writes a whole output that way; whether it was standard output.
bool writeOutput(const std::string& path, const void* data, size_t length);

// The words every --file option of an output adds to its help.
inline constexpr const char* kOutputHelp =
    "; - is standard output, and a device or FIFO is written in place";

// Why a file the tool writes again and again in `folder` (the exporter's
// textfile) could be turned into something else by another user, in one
// line; "" when it cannot. Refused: a folder others may write, unless it has
// the sticky bit and the file, if there, is this user's. Windows folders
// have no sticky bit and answer "".
std::string sharedFolderProblem(const std::string& folder, const std::string& file);

// Why the tool cannot write files in `folder`, in one line ("the folder ...
// does not exist", "cannot write in ..."); "" when it can.
std::string folderWriteProblem(const std::string& folder);

// What changes when a file is replaced or rewritten: its identity (inode;
// on Windows its time of making), size and time of change; all 0 when it
// is not there.
struct FileStamp {
    uint64_t identity = 0, size = 0, changed = 0;
    bool operator==(const FileStamp&) const = default;
};
FileStamp fileStamp(const std::string& path);

// Tests draw the temporary names themselves, to plant something at the very
// name the tool is about to use; an empty function gives the random names
// back.
void drawTemporaryNamesFrom(std::function<uint64_t()> draw);

// Whether two full paths name the same file as the system compares names
// (on Windows without regard to case).
bool samePathName(const std::string& a, const std::string& b);
// Removes a file, if it is there (any name: on Windows by its wide form).
void removeFile(const std::string& path);
// Whether a file is there.
bool fileExists(const std::string& path);
// The folder part of a path ("." if none), and the last part.
std::string folderOf(const std::string& path);
std::string baseName(const std::string& path);
// A name in a folder, with the system's separator.
std::string inFolder(const std::string& folder, const std::string& name);
// A path for the C++ library's streams: on Windows from the wide form of the
// UTF-8 name, so that any name opens.
std::filesystem::path fileSystemPath(const std::string& path);
// A path as the system resolves it, for a file named in a message or a note.
std::string absolutePath(const std::string& path);

}  // namespace tool
