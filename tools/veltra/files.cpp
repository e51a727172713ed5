#include "files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>

#include "errors.h"
#include "text.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tool {

namespace {

constexpr size_t kPiece = size_t{8} << 20;

#if defined(_WIN32)

std::string systemMessage(DWORD error) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return "No such file or directory";
    if (error == ERROR_ACCESS_DENIED)
        return "Permission denied";
    if (error == ERROR_SHARING_VIOLATION)
        return "another program has it open for writing";
    return format("system error %lu", static_cast<unsigned long>(error));
}

struct Snapshot {
    uint64_t size = 0, changed = 0;
};

bool snapshot(HANDLE file, Snapshot& s) {
    LARGE_INTEGER size{};
    FILETIME written{};
    if (!GetFileSizeEx(file, &size) || !GetFileTime(file, nullptr, nullptr, &written))
        return false;
    s.size = static_cast<uint64_t>(size.QuadPart);
    s.changed = uint64_t{written.dwHighDateTime} << 32 | written.dwLowDateTime;
    return true;
}

// Reads until the end of the file or of `data`; the count read.
uint64_t readAll(HANDLE file, Bytes& data, const std::string& path) {
    uint64_t total = 0;
    while (total < data.size()) {
        const DWORD piece = static_cast<DWORD>(std::min<uint64_t>(kPiece, data.size() - total));
        DWORD got = 0;
        if (!ReadFile(file, data.data() + total, piece, &got, nullptr))
            throw Failure("cannot read " + path + ": " + systemMessage(GetLastError()));
        if (got == 0)
            break;
        total += got;
    }
    return total;
}

#else

std::string systemMessage(int error) {
    return std::strerror(error);
}

struct Snapshot {
    uint64_t size = 0, changed = 0;
};

bool snapshot(int file, Snapshot& s) {
    struct stat status {};
    if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    s.size = static_cast<uint64_t>(status.st_size);
    s.changed = static_cast<uint64_t>(status.st_mtim.tv_sec) * 1000000000u +
                static_cast<uint64_t>(status.st_mtim.tv_nsec);
    return true;
}

uint64_t readAll(int file, Bytes& data, const std::string& path) {
    uint64_t total = 0;
    while (total < data.size()) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(kPiece, data.size() - total));
        const ssize_t got = ::read(file, data.data() + total, piece);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw Failure("cannot read " + path + ": " + systemMessage(errno));
        if (got == 0)
            break;
        total += static_cast<uint64_t>(got);
    }
    return total;
}

#endif

// What was read must be the whole file as it was when it was opened, and
// the file must not have changed since.
void checkUnchanged(const Snapshot& before, const Snapshot& after, uint64_t read,
                    const std::string& path) {
    if (read != before.size || after.size != before.size || after.changed != before.changed)
        throw Failure(path + " changed while it was read");
}

}  // namespace

#if defined(_WIN32)

Bytes readWholeFile(const std::string& path) {
    // Others may read it meanwhile, but not change it.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw Failure("cannot open " + path + ": " + systemMessage(GetLastError()));
    struct Closer {
        HANDLE file;
        ~Closer() { CloseHandle(file); }
    } closer{file};
    Snapshot before, after;
    if (!snapshot(file, before))
        throw Failure("cannot read " + path + ": " + systemMessage(GetLastError()));
    // One byte more than the file holds, to see it grow.
    Bytes data(static_cast<size_t>(before.size) + 1);
    const uint64_t read = readAll(file, data, path);
    if (!snapshot(file, after))
        throw Failure("cannot read " + path + ": " + systemMessage(GetLastError()));
    checkUnchanged(before, after, read, path);
    data.resize(static_cast<size_t>(read));
    return data;
}

bool fileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

#else

Bytes readWholeFile(const std::string& path) {
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0)
        throw Failure("cannot open " + path + ": " + systemMessage(errno));
    struct Closer {
        int file;
        ~Closer() { ::close(file); }
    } closer{file};
    Snapshot before, after;
    if (!snapshot(file, before))
        throw Failure("cannot read " + path + ": not a file");
    // One byte more than the file holds, to see it grow.
    Bytes data(static_cast<size_t>(before.size) + 1);
    const uint64_t read = readAll(file, data, path);
    if (!snapshot(file, after))
        throw Failure("cannot read " + path + ": not a file");
    checkUnchanged(before, after, read, path);
    data.resize(static_cast<size_t>(read));
    return data;
}

bool fileExists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

#endif

namespace {

[[maybe_unused]] constexpr size_t kLargePage = size_t{2} << 20;

}  // namespace

void* allocateLarge(size_t bytes) {
#if !defined(_WIN32)
    if (bytes >= kLargePage) {
        void* block =
            ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED)
            throw std::bad_alloc();
        ::madvise(block, bytes, MADV_HUGEPAGE);
        return block;
    }
#endif
    return ::operator new(bytes);
}

void freeLarge(void* block, [[maybe_unused]] size_t bytes) {
#if !defined(_WIN32)
    if (bytes >= kLargePage) {
        ::munmap(block, bytes);
        return;
    }
#endif
    ::operator delete(block);
}

Bytes readFileStart(const std::string& path, std::optional<uint64_t> length) {
    Bytes data = readWholeFile(path);
    if (!length.has_value())
        return data;
    if (*length > data.size())
        throw Failure(format("%s holds %s, less than --length %s", path.c_str(),
                             sizeText(data.size()).c_str(), sizeText(*length).c_str()));
    data.resize(static_cast<size_t>(*length));
    return data;
}

bool samePathName(const std::string& a, const std::string& b) {
#if defined(_WIN32)
    return equalsIgnoringCase(a, b);
#else
    return a == b;
#endif
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string baseName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

unsigned long thisProcess() {
#if defined(_WIN32)
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}

bool processRuns(unsigned long process) {
#if defined(_WIN32)
    HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process);
    if (handle == nullptr)
        return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool runs = GetExitCodeProcess(handle, &code) && code == STILL_ACTIVE;
    CloseHandle(handle);
    return runs;
#else
    return ::kill(static_cast<pid_t>(process), 0) == 0 || errno == EPERM;
#endif
}

// ".NAME.veltra-PID.tmp": the file a process writes before it takes NAME's
// place.
std::string temporaryPrefix(const std::string& path) {
    return "." + baseName(path) + ".veltra-";
}

std::string temporaryName(const std::string& path) {
    return folderOf(path) + "/" + temporaryPrefix(path) + format("%lu.tmp", thisProcess());
}

// What a process that was killed while it wrote left behind.
void removeAbandonedTemporaries(const std::string& path) {
    const std::string prefix = temporaryPrefix(path);
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folderOf(path), error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) != 0 || name.size() < prefix.size() + 5 ||
            name.compare(name.size() - 4, 4, ".tmp") != 0)
            continue;
        const unsigned long process = std::strtoul(name.c_str() + prefix.size(), nullptr, 10);
        if (process != 0 && !processRuns(process))
            std::filesystem::remove(entry.path(), error);
    }
}

}  // namespace

#if defined(_WIN32)

ReplacingFile::ReplacingFile(std::string path)
    : path_(std::move(path)), temporary_(temporaryName(path_)) {
    removeAbandonedTemporaries(path_);
    HANDLE file = CreateFileA(temporary_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw Failure("cannot create " + path_ + ": " + systemMessage(GetLastError()));
    file_ = reinterpret_cast<intptr_t>(file);
}

ReplacingFile::~ReplacingFile() {
    if (file_ != -1)
        CloseHandle(reinterpret_cast<HANDLE>(file_));
    if (!committed_)
        DeleteFileA(temporary_.c_str());
}

void ReplacingFile::write(const void* data, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (length > 0) {
        const DWORD piece = static_cast<DWORD>(std::min(length, kPiece));
        DWORD written = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(file_), bytes, piece, &written, nullptr) ||
            written != piece)
            throw Failure("cannot write " + path_ + ": " + systemMessage(GetLastError()));
        bytes += piece;
        length -= piece;
    }
}

void ReplacingFile::commit() {
    HANDLE file = reinterpret_cast<HANDLE>(file_);
    const bool flushed = FlushFileBuffers(file) != 0;
    CloseHandle(file);
    file_ = -1;
    if (!flushed || !MoveFileExA(temporary_.c_str(), path_.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        throw Failure("cannot write " + path_ + ": " + systemMessage(GetLastError()));
    committed_ = true;
}

#else

ReplacingFile::ReplacingFile(std::string path)
    : path_(std::move(path)), temporary_(temporaryName(path_)) {
    removeAbandonedTemporaries(path_);
    const int file = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (file < 0)
        throw Failure("cannot create " + path_ + ": " + systemMessage(errno));
    file_ = file;
    // The new file has the permissions of the one it replaces.
    struct stat old {};
    if (::stat(path_.c_str(), &old) == 0 && S_ISREG(old.st_mode) &&
        ::fchmod(file, old.st_mode & 07777) != 0)
        return;  // the system's default permissions then
}

ReplacingFile::~ReplacingFile() {
    if (file_ != -1)
        ::close(static_cast<int>(file_));
    if (!committed_)
        ::unlink(temporary_.c_str());
}

void ReplacingFile::write(const void* data, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (length > 0) {
        const ssize_t written = ::write(static_cast<int>(file_), bytes, std::min(length, kPiece));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            throw Failure("cannot write " + path_ + ": " + systemMessage(errno));
        bytes += written;
        length -= static_cast<size_t>(written);
    }
}

void ReplacingFile::commit() {
    const bool flushed = ::fsync(static_cast<int>(file_)) == 0;
    const int error = errno;
    ::close(static_cast<int>(file_));
    file_ = -1;
    if (!flushed)
        throw Failure("cannot write " + path_ + ": " + systemMessage(error));
    if (::rename(temporary_.c_str(), path_.c_str()) != 0)
        throw Failure("cannot write " + path_ + ": " + systemMessage(errno));
    committed_ = true;
    // The new name on the disk too.
    const int folder = ::open(folderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
}

#endif

void replaceFile(const std::string& path, const void* data, size_t length) {
    ReplacingFile file(path);
    file.write(data, length);
    file.commit();
}

}  // namespace tool
