#include "files.h"

#if defined(_WIN32)
#include "wide.h"
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <new>

#include "access_list.h"
#include "errors.h"
#include "text.h"

#if defined(_WIN32)
#include <windows.h>
#include <aclapi.h>
#include <bcrypt.h>
#include <sddl.h>
#else
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tool {

namespace {

constexpr size_t kPiece = size_t{8} << 20;

// A stale temporary file is one that was last written this long ago and
// that no process holds.
constexpr int kStaleSeconds = 10;

struct Snapshot {
    uint64_t size = 0, changed = 0;
};

// What was read must be the whole file as it was when it was opened, and
// the file must not have changed since.
void checkUnchanged(const Snapshot& before, const Snapshot& after, uint64_t read,
                    const std::string& path) {
    if (read != before.size || after.size != before.size || after.changed != before.changed)
        throw Failure(path + " changed while it was read");
}

// ".NAME.veltra-" and 16 random hexadecimal digits, then ".tmp": the file a
// process writes before it takes NAME's place.
std::string temporaryPrefix(const std::string& base) {
    return "." + base + ".veltra-";
}

bool isTemporaryOf(const std::string& name, const std::string& base) {
    const std::string prefix = temporaryPrefix(base);
    return name.size() == prefix.size() + 16 + 4 && name.rfind(prefix, 0) == 0 &&
           name.compare(name.size() - 4, 4, ".tmp") == 0;
}

uint64_t randomNumber();

std::function<uint64_t()>& drawnNames() {
    static std::function<uint64_t()> draw;
    return draw;
}

std::string temporaryName(const std::string& base) {
    const uint64_t drawn = drawnNames() ? drawnNames()() : randomNumber();
    return temporaryPrefix(base) + hex(drawn, 16).substr(2) + ".tmp";
}

}  // namespace

#if defined(_WIN32)

namespace {

std::string systemMessage(DWORD error) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return "No such file or directory";
    if (error == ERROR_ACCESS_DENIED)
        return "Permission denied";
    if (error == ERROR_SHARING_VIOLATION)
        return "another program has it open for writing";
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
        return "File exists";
    return systemErrorText(error);
}

uint64_t randomNumber() {
    uint64_t value = 0;
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof value,
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        throw Failure("the system gives no random numbers");
    return value;
}

struct Handle {
    HANDLE value = INVALID_HANDLE_VALUE;
    ~Handle() {
        if (value != INVALID_HANDLE_VALUE && value != nullptr)
            CloseHandle(value);
    }
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

Bytes readOpenFile(HANDLE file, const std::string& path) {
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

// The security identifiers a file or folder of the tool may belong to and
// be written by: this user's, the administrators' and SYSTEM's.
class TrustedOwners {
  public:
    TrustedOwners() {
        HANDLE token = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            DWORD size = 0;
            GetTokenInformation(token, TokenUser, nullptr, 0, &size);
            user_.resize(size);
            if (!GetTokenInformation(token, TokenUser, user_.data(), size, &size))
                user_.clear();
            CloseHandle(token);
        }
        DWORD size = sizeof administrators_;
        CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators_, &size);
        size = sizeof system_;
        CreateWellKnownSid(WinLocalSystemSid, nullptr, system_, &size);
    }
    PSID user() const {
        return user_.empty() ? nullptr
                             : reinterpret_cast<const TOKEN_USER*>(user_.data())->User.Sid;
    }
    bool trusted(PSID sid) const {
        return sid != nullptr && IsValidSid(sid) &&
               ((user() != nullptr && EqualSid(sid, user())) || EqualSid(sid, administrators()) ||
                EqualSid(sid, system()));
    }
    PSID administrators() const { return const_cast<BYTE*>(administrators_); }
    PSID system() const { return const_cast<BYTE*>(system_); }

  private:
    std::vector<BYTE> user_;
    BYTE administrators_[SECURITY_MAX_SID_SIZE]{};
    BYTE system_[SECURITY_MAX_SID_SIZE]{};
};

const TrustedOwners& owners() {
    static const TrustedOwners instance;
    return instance;
}

constexpr DWORD kWriting = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                           FILE_WRITE_ATTRIBUTES | WRITE_DAC | WRITE_OWNER | DELETE |
                           GENERIC_WRITE | GENERIC_ALL;

// What is wrong with the owner and access list of an open file or folder,
// or "".
std::string securityProblem(HANDLE object, const std::string& path) {
    PSID owner = nullptr;
    PACL access = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetSecurityInfo(object, SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        &owner, nullptr, &access, nullptr, &descriptor);
    if (error != ERROR_SUCCESS)
        return "cannot read the owner of " + path + ": " + systemMessage(error);
    std::string problem;
    if (!owners().trusted(owner)) {
        problem = path + " belongs to another user";
    } else if (access == nullptr) {
        problem = path + " may be written by every user (it has no access list)";
    } else {
        for (DWORD i = 0; i < access->AceCount && problem.empty(); ++i) {
            ACE_HEADER* ace = nullptr;
            if (!GetAce(access, i, reinterpret_cast<void**>(&ace)) ||
                ace->AceType != ACCESS_ALLOWED_ACE_TYPE || (ace->AceFlags & INHERIT_ONLY_ACE) != 0)
                continue;
            const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(ace);
            PSID sid = const_cast<DWORD*>(&allowed->SidStart);
            if ((allowed->Mask & kWriting) != 0 && !owners().trusted(sid))
                problem = path + " may be written by other users";
        }
    }
    LocalFree(descriptor);
    return problem;
}

// This user, the administrators and SYSTEM: full access, for a file or
// folder and what is made in it; `othersRead`: every signed-in user (and
// the service accounts) may read it too.
std::string privateAccess(bool othersRead) {
    std::string text = "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FA;;;" + userSidText() + ")";
    return othersRead ? text + "(A;;FR;;;AU)(A;;FR;;;LS)(A;;FR;;;NS)" : text;
}

bool isDirectory(HANDLE object) {
    BY_HANDLE_FILE_INFORMATION information{};
    return GetFileInformationByHandle(object, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isLink(HANDLE object) {
    BY_HANDLE_FILE_INFORMATION information{};
    return GetFileInformationByHandle(object, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Takes the access list of the file a new one replaces, so that the
// replacement is shared as the old one was.
void copyAccess(const std::string& from, HANDLE to) {
    Handle old;
    old.value = CreateFileW(widen(from).c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (old.value == INVALID_HANDLE_VALUE || isLink(old.value))
        return;
    PACL access = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(old.value, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        &access, nullptr, &descriptor) != ERROR_SUCCESS)
        return;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    const SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                            : UNPROTECTED_DACL_SECURITY_INFORMATION);
    SetSecurityInfo(to, SE_FILE_OBJECT, what, nullptr, nullptr, access, nullptr);
    LocalFree(descriptor);
}

// What a process that was killed while it wrote left behind: a temporary
// file that no one has open (its writer shares it with no one) and that was
// last written a while ago.
void removeAbandonedTemporaries(const std::string& folder, const std::string& base) {
    WIN32_FIND_DATAW found{};
    HANDLE search =
        FindFirstFileW(widen(inFolder(folder, temporaryPrefix(base) + "*.tmp")).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const uint64_t current = uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime;
    do {
        const uint64_t written = uint64_t{found.ftLastWriteTime.dwHighDateTime} << 32 |
                                 found.ftLastWriteTime.dwLowDateTime;
        const std::string name = narrow(found.cFileName);
        if (isTemporaryOf(name, base) &&
            (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                0 &&
            current > written + uint64_t{kStaleSeconds} * 10000000)
            DeleteFileW(widen(inFolder(folder, name)).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// The path a link leads to, as the system resolves it.
std::string finalPath(HANDLE object, const std::string& fallback) {
    std::wstring path(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(
        object, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
    if (length == 0 || length >= path.size())
        return fallback;
    std::string result = narrow(path.data(), static_cast<int>(length));
    if (result.rfind("\\\\?\\UNC\\", 0) == 0)
        return "\\\\" + result.substr(8);
    if (result.rfind("\\\\?\\", 0) == 0)
        return result.substr(4);
    return result;
}

}  // namespace

Bytes readWholeFile(const std::string& path) {
    // Others may read it meanwhile, but not change it.
    Handle file;
    file.value = CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file.value == INVALID_HANDLE_VALUE)
        throw Failure("cannot open " + path + ": " + systemMessage(GetLastError()));
    return readOpenFile(file.value, path);
}

Bytes readTrustedFile(const std::string& path) {
    Handle file;
    file.value = CreateFileW(widen(path).c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
                             nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file.value == INVALID_HANDLE_VALUE)
        throw Failure("cannot open " + path + ": " + systemMessage(GetLastError()));
    if (GetFileType(file.value) != FILE_TYPE_DISK || isDirectory(file.value) || isLink(file.value))
        throw Failure(path + " is not a regular file: refused");
    const std::string problem = securityProblem(file.value, path);
    if (!problem.empty())
        throw Failure(problem + ": refused");
    return readOpenFile(file.value, path);
}

bool trustedFileExists(const std::string& path) {
    if (GetFileAttributesW(widen(path).c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

void makePrivateFolder(const std::string& folder, bool othersRead) {
    AccessList access(privateAccess(othersRead));
    if (!CreateDirectoryW(widen(folder).c_str(), access.attributes()) &&
        GetLastError() != ERROR_ALREADY_EXISTS)
        throw Failure("cannot make the folder " + folder + ": " + systemMessage(GetLastError()));
    Handle opened;
    opened.value = CreateFileW(widen(folder).c_str(), READ_CONTROL,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (opened.value == INVALID_HANDLE_VALUE)
        throw Failure("cannot open the folder " + folder + ": " + systemMessage(GetLastError()));
    if (!isDirectory(opened.value) || isLink(opened.value))
        throw Failure(folder + " is not a folder: refused");
    const std::string problem = securityProblem(opened.value, "the folder " + folder);
    if (!problem.empty())
        throw Failure(problem + ": refused (remove it, and veltra makes it anew)");
}

ReplacingFile::ReplacingFile(std::string path, Access mode) : path_(std::move(path)) {
    const std::string folder = folderOf(path_), base = baseName(path_);
    removeAbandonedTemporaries(folder, base);
    std::unique_ptr<AccessList> access;
    if (mode != Access::Inherited)
        access = std::make_unique<AccessList>(privateAccess(mode == Access::OwnerWrites));
    HANDLE file = INVALID_HANDLE_VALUE;
    // A name that is there (a planted link too) is never opened: another is
    // drawn.
    for (int attempt = 0; attempt < 16 && file == INVALID_HANDLE_VALUE; ++attempt) {
        temporary_ = inFolder(folder, temporaryName(base));
        file = CreateFileW(widen(temporary_).c_str(), GENERIC_WRITE | WRITE_DAC, 0,
                           access != nullptr ? access->attributes() : nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS &&
            GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    if (file == INVALID_HANDLE_VALUE)
        throw Failure("cannot create " + path_ + ": " + systemMessage(GetLastError()));
    file_ = reinterpret_cast<intptr_t>(file);
    if (mode == Access::Inherited)
        copyAccess(path_, file);
}

ReplacingFile::~ReplacingFile() {
    if (file_ != -1)
        CloseHandle(reinterpret_cast<HANDLE>(file_));
    if (!committed_ && !temporary_.empty())
        DeleteFileW(widen(temporary_).c_str());
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
    if (!flushed || !MoveFileExW(widen(temporary_).c_str(), widen(path_).c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        throw Failure("cannot write " + path_ + ": " + systemMessage(GetLastError()));
    committed_ = true;
}

OutputFile::OutputFile(const std::string& path) : path_(path) {
    if (path == "-") {
        std::fflush(stdout);
        direct_ = reinterpret_cast<intptr_t>(GetStdHandle(STD_OUTPUT_HANDLE));
        standardOutput_ = true;
        return;
    }
    // Opened for writing once, as it is: a device or a pipe is written
    // through this handle (a pipe's one instance would be taken by a look
    // before the write), a file is replaced.
    Handle existing;
    existing.value = CreateFileW(widen(path).c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (existing.value != INVALID_HANDLE_VALUE && GetFileType(existing.value) != FILE_TYPE_DISK) {
        direct_ = reinterpret_cast<intptr_t>(existing.value);
        existing.value = INVALID_HANDLE_VALUE;
        return;
    }
    Handle look;
    look.value =
        CreateFileW(widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (look.value == INVALID_HANDLE_VALUE) {
        replacing_ = std::make_unique<ReplacingFile>(path);
        return;
    }
    if (isDirectory(look.value))
        throw Failure(path + " is a folder");
    // A link is followed: its target is what is replaced.
    const DWORD attributes = GetFileAttributesW(widen(path).c_str());
    const bool link =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    replacing_ = std::make_unique<ReplacingFile>(link ? finalPath(look.value, path) : path);
}

OutputFile::~OutputFile() {
    if (direct_ != -1 && !standardOutput_)
        CloseHandle(reinterpret_cast<HANDLE>(direct_));
}

void OutputFile::write(const void* data, size_t length) {
    if (replacing_ != nullptr) {
        replacing_->write(data, length);
        return;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (length > 0) {
        const DWORD piece = static_cast<DWORD>(std::min(length, kPiece));
        DWORD written = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(direct_), bytes, piece, &written, nullptr) ||
            written == 0)
            throw Failure("cannot write " + path_ + ": " + systemMessage(GetLastError()));
        bytes += written;
        length -= written;
    }
}

void OutputFile::commit() {
    if (replacing_ != nullptr)
        replacing_->commit();
}

std::string sharedFolderProblem(const std::string&, const std::string&) {
    return "";
}

std::string folderWriteProblem(const std::string& folder) {
    const DWORD attributes = GetFileAttributesW(widen(folder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return "the folder " + folder + " cannot be used: " + systemMessage(GetLastError());
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return folder + " is not a folder";
    // A file that goes when it is closed, at a name of our own.
    const std::string probe = inFolder(folder, temporaryName("write-probe"));
    const HANDLE file = CreateFileW(widen(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "cannot write in the folder " + folder + ": " + systemMessage(GetLastError());
    CloseHandle(file);
    return "";
}

bool fileExists(const std::string& path) {
    return GetFileAttributesW(widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

FileStamp fileStamp(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(widen(path).c_str(), GetFileExInfoStandard, &data))
        return {};
    auto time = [](const FILETIME& t) {
        return uint64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime;
    };
    return {time(data.ftCreationTime), uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow,
            time(data.ftLastWriteTime)};
}

std::string absolutePath(const std::string& path) {
    std::wstring full(32768, L'\0');
    const DWORD length = GetFullPathNameW(widen(path).c_str(), static_cast<DWORD>(full.size()),
                                          full.data(), nullptr);
    return length > 0 && length < full.size() ? narrow(full.data(), static_cast<int>(length))
                                              : path;
}

#else

namespace {

std::string systemMessage(int error) {
    return std::strerror(error);
}

uint64_t randomNumber() {
    uint64_t value = 0;
    for (size_t got = 0; got < sizeof value;) {
        const ssize_t n = ::getrandom(reinterpret_cast<char*>(&value) + got, sizeof value - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw Failure("the system gives no random numbers: " + systemMessage(errno));
        got += static_cast<size_t>(n);
    }
    return value;
}

class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
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

Bytes readOpenFile(int file, const std::string& path) {
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

// "mode 0666", as ls -l would give it in numbers.
std::string modeText(mode_t mode) {
    return format("mode 0%03o", static_cast<unsigned>(mode & 0777));
}

// What is wrong with a file or folder the tool trusts, or "".
std::string ownershipProblem(const struct stat& status, const std::string& what) {
    if (status.st_uid != ::geteuid())
        return format("%s belongs to another user (uid %u)", what.c_str(),
                      static_cast<unsigned>(status.st_uid));
    if ((status.st_mode & 0022) != 0)
        return what + " may be written by other users (" + modeText(status.st_mode) + ")";
    return "";
}

// The permissions a new file gets: 0666 less the process's mask, read
// without changing it (other threads may be making files meanwhile).
mode_t newFileMode() {
    static const mode_t mask = [] {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("Umask:", 0) == 0)
                return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
        return static_cast<mode_t>(022);
    }();
    return 0666 & ~mask;
}

// What a process that was killed while it wrote left behind: a temporary
// file of this user that no process holds (its writer holds an flock on it
// until it is renamed) and that was last written a while ago. A link or a
// file of anyone else is left alone.
void removeAbandonedTemporaries(int folder, const std::string& base) {
    const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0)
        return;
    DIR* entries = ::fdopendir(listing);
    if (entries == nullptr) {
        ::close(listing);
        return;
    }
    const time_t now = ::time(nullptr);
    while (const dirent* entry = ::readdir(entries)) {
        if (!isTemporaryOf(entry->d_name, base))
            continue;
        Descriptor file(::openat(folder, entry->d_name,
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat status {};
        if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
            status.st_uid != ::geteuid() || status.st_mtime + kStaleSeconds > now ||
            ::flock(file.get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        ::unlinkat(folder, entry->d_name, 0);
    }
    ::closedir(entries);
}

// Whether PATH, whose status is STATUS, lies in a folder that every user may
// write and that has the sticky bit (/tmp), and belongs neither to this user
// nor to the folder's owner.
bool othersInSharedFolder(const std::string& path, const struct stat& status) {
    struct stat folder {};
    if (::stat(folderOf(path).c_str(), &folder) != 0)
        return false;
    const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    return shared && status.st_uid != ::geteuid() && status.st_uid != folder.st_uid;
}

// The system follows such a link only for the link's owner or the folder's
// (fs.protected_symlinks); the tool, which resolves links itself, keeps the
// same rule.
void checkLinkMayBeFollowed(const std::string& link, const struct stat& status) {
    if (othersInSharedFolder(link, status))
        throw Failure(
            format("%s is a link of another user (uid %u) in a folder every user may "
                   "write: refused, as the system refuses to follow it",
                   link.c_str(), static_cast<unsigned>(status.st_uid)));
}

// Nor does it open a FIFO or device of another user in such a folder
// (fs.protected_fifos): the tool, whose root would be let through, keeps
// that rule too.
void checkMayBeOpened(const std::string& path, const struct stat& status) {
    if (othersInSharedFolder(path, status))
        throw Failure(
            format("%s is a %s of another user (uid %u) in a folder every user may "
                   "write: refused, as the system refuses to open it",
                   path.c_str(), S_ISFIFO(status.st_mode) ? "FIFO" : "device",
                   static_cast<unsigned>(status.st_uid)));
}

// The file a path leads to through its links (the path itself if it is no
// link, or names nothing yet).
std::string followLinks(const std::string& path) {
    std::string target = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat status {};
        if (::lstat(target.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
            return target;
        checkLinkMayBeFollowed(target, status);
        char text[PATH_MAX];
        const ssize_t length = ::readlink(target.c_str(), text, sizeof text - 1);
        if (length < 0)
            throw Failure("cannot read the link " + target + ": " + systemMessage(errno));
        const std::string next(text, static_cast<size_t>(length));
        target = next.front() == '/' ? next : folderOf(target) + "/" + next;
    }
    throw Failure(path + ": " + systemMessage(ELOOP));
}

void writeFully(int fd, const void* data, size_t length, const std::string& path) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (length > 0) {
        const ssize_t written = ::write(fd, bytes, std::min(length, kPiece));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            throw Failure("cannot write " + path + ": " + systemMessage(errno));
        bytes += written;
        length -= static_cast<size_t>(written);
    }
}

}  // namespace

Bytes readWholeFile(const std::string& path) {
    // Without waiting for the writer of a FIFO, which is not a file to read
    // whole (and could hold the card's lock for ever).
    Descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0)
        throw Failure("cannot open " + path + ": " + systemMessage(errno));
    return readOpenFile(file.get(), path);
}

Bytes readTrustedFile(const std::string& path) {
    // Without following a link, and without waiting for a writer of a FIFO.
    Descriptor file(
        ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0 && errno == ELOOP)
        throw Failure(path + " is a link, not a regular file: refused");
    if (file.get() < 0)
        throw Failure("cannot open " + path + ": " + systemMessage(errno));
    struct stat status {};
    if (::fstat(file.get(), &status) != 0)
        throw Failure("cannot read " + path + ": " + systemMessage(errno));
    if (!S_ISREG(status.st_mode))
        throw Failure(path + " is not a regular file: refused");
    const std::string problem = ownershipProblem(status, path);
    if (!problem.empty())
        throw Failure(problem + ": refused");
    return readOpenFile(file.get(), path);
}

bool trustedFileExists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

void makePrivateFolder(const std::string& folder, bool othersRead) {
    if (::mkdir(folder.c_str(), othersRead ? 0755 : 0700) != 0 && errno != EEXIST)
        throw Failure("cannot make the folder " + folder + ": " + systemMessage(errno));
    Descriptor opened(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (opened.get() < 0 || ::fstat(opened.get(), &status) != 0)
        throw Failure(folder + " is not a folder: refused");
    const std::string problem = ownershipProblem(status, "the folder " + folder);
    if (!problem.empty())
        throw Failure(problem + ": refused (remove it, and veltra makes it anew)");
}

ReplacingFile::ReplacingFile(std::string path, Access access) : path_(std::move(path)) {
    const std::string base = baseName(path_);
    Descriptor folder(::open(folderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0)
        throw Failure("cannot create " + path_ + ": " + systemMessage(errno));
    removeAbandonedTemporaries(folder.get(), base);
    // The permissions of the file it replaces, looked at (never what a link
    // there leads to) and taken only from a file of this user: another's in
    // a shared folder could have been made 0666 to be copied.
    struct stat old {};
    permissions_ = access == Access::Owner         ? 0600
                   : access == Access::OwnerWrites ? 0644
                                                   : newFileMode();
    if (access == Access::Inherited &&
        ::fstatat(folder.get(), base.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(old.st_mode) && old.st_uid == ::geteuid())
        permissions_ = old.st_mode & 0777;
    // Made exclusively, for this user alone until it is whole; a name that
    // is there (a planted link or FIFO too) is never opened: another is
    // drawn.
    int file = -1;
    for (int attempt = 0; attempt < 16 && file < 0; ++attempt) {
        temporary_ = temporaryName(base);
        file = ::openat(folder.get(), temporary_.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
        if (file < 0 && errno != EEXIST)
            break;
    }
    if (file < 0)
        throw Failure("cannot create " + path_ + ": " + systemMessage(errno));
    file_ = file;
    folder_ = folder.release();
    ::flock(file, LOCK_EX | LOCK_NB);  // held until it is renamed: not abandoned
}

ReplacingFile::~ReplacingFile() {
    if (!committed_ && file_ != -1)
        ::unlinkat(static_cast<int>(folder_), temporary_.c_str(), 0);
    if (file_ != -1)
        ::close(static_cast<int>(file_));
    if (folder_ != -1)
        ::close(static_cast<int>(folder_));
}

void ReplacingFile::write(const void* data, size_t length) {
    writeFully(static_cast<int>(file_), data, length, path_);
}

void ReplacingFile::commit() {
    const int file = static_cast<int>(file_), folder = static_cast<int>(folder_);
    if (::fchmod(file, static_cast<mode_t>(permissions_)) != 0 || ::fsync(file) != 0)
        throw Failure("cannot write " + path_ + ": " + systemMessage(errno));
    if (::renameat(folder, temporary_.c_str(), folder, baseName(path_).c_str()) != 0)
        throw Failure("cannot write " + path_ + ": " + systemMessage(errno));
    committed_ = true;
    // The new name on the disk too.
    ::fsync(folder);
}

OutputFile::OutputFile(const std::string& path) : path_(path) {
    if (path == "-") {
        std::fflush(stdout);
        direct_ = STDOUT_FILENO;
        standardOutput_ = true;
        return;
    }
    const std::string target = followLinks(path);
    struct stat status {};
    if (::stat(target.c_str(), &status) != 0 || S_ISREG(status.st_mode)) {
        replacing_ = std::make_unique<ReplacingFile>(target);
        return;
    }
    if (S_ISDIR(status.st_mode))
        throw Failure(path + " is a folder");
    checkMayBeOpened(target, status);
    // A device or FIFO: written as it is (a FIFO waits for its reader, as
    // it does for any writer).
    Descriptor opened(::open(target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (opened.get() < 0)
        throw Failure("cannot open " + path + ": " + systemMessage(errno));
    if (::fstat(opened.get(), &status) != 0 || S_ISREG(status.st_mode))
        throw Failure(path + " changed while it was opened");
    direct_ = opened.release();
}

OutputFile::~OutputFile() {
    if (direct_ != -1 && !standardOutput_)
        ::close(static_cast<int>(direct_));
}

void OutputFile::write(const void* data, size_t length) {
    if (replacing_ != nullptr)
        replacing_->write(data, length);
    else
        writeFully(static_cast<int>(direct_), data, length, path_);
}

void OutputFile::commit() {
    if (replacing_ != nullptr)
        replacing_->commit();
}

std::string sharedFolderProblem(const std::string& folder, const std::string& file) {
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0)
        return "";  // said when the file cannot be written
    const bool othersWrite =
        (status.st_mode & 0022) != 0 || (status.st_uid != ::geteuid() && status.st_uid != 0);
    if (!othersWrite)
        return "";
    if ((status.st_mode & S_ISVTX) == 0)
        return format(
            "the folder %s may be written by other users (%s, owner uid %u) and has no "
            "sticky bit: refused; give a folder only you may write",
            folder.c_str(), modeText(status.st_mode).c_str(), static_cast<unsigned>(status.st_uid));
    struct stat there {};
    if (::lstat(file.c_str(), &there) != 0)
        return "";
    if (!S_ISREG(there.st_mode) || there.st_uid != ::geteuid())
        return format(
            "%s in a folder other users may write is not a file of yours (uid %u): "
            "refused",
            file.c_str(), static_cast<unsigned>(there.st_uid));
    if ((there.st_mode & 0022) != 0)
        return file + " may be written by other users (" + modeText(there.st_mode) + "): refused";
    return "";
}

std::string folderWriteProblem(const std::string& folder) {
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0)
        return "the folder " + folder + " cannot be used: " + systemMessage(errno);
    if (!S_ISDIR(status.st_mode))
        return folder + " is not a folder";
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return "cannot write in the folder " + folder + ": " + systemMessage(errno);
    return "";
}

bool fileExists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

FileStamp fileStamp(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0)
        return {};
    return {static_cast<uint64_t>(status.st_ino), static_cast<uint64_t>(status.st_size),
            static_cast<uint64_t>(status.st_mtim.tv_sec) * 1000000000u +
                static_cast<uint64_t>(status.st_mtim.tv_nsec)};
}

std::string absolutePath(const std::string& path) {
    char full[PATH_MAX];
    if (::realpath(path.c_str(), full) != nullptr)
        return full;
    // A file not made yet: its folder's real path and its name.
    if (::realpath(folderOf(path).c_str(), full) != nullptr)
        return inFolder(full, baseName(path));
    return path;
}

#endif

void* allocateLarge(size_t bytes) {
#if !defined(_WIN32)
    constexpr size_t kLargePage = size_t{2} << 20;
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
    if (bytes >= (size_t{2} << 20)) {
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

void drawTemporaryNamesFrom(std::function<uint64_t()> draw) {
    drawnNames() = std::move(draw);
}

void replaceFile(const std::string& path, const void* data, size_t length,
                 ReplacingFile::Access access) {
    ReplacingFile file(path, access);
    file.write(data, length);
    file.commit();
}

bool writeOutput(const std::string& path, const void* data, size_t length) {
    OutputFile file(path);
    file.write(data, length);
    file.commit();
    return file.standardOutput();
}

bool samePathName(const std::string& a, const std::string& b) {
#if defined(_WIN32)
    return equalsIgnoringCase(a, b);
#else
    return a == b;
#endif
}

#if defined(_WIN32)

namespace {

bool separator(char c) {
    return c == '\\' || c == '/';
}

// How long the part of a path is that names its root: "\\\\?\\C:\\",
// "\\\\server\\share\\", "C:\\", "C:" (the current folder of drive C),
// "\\" (the root of the current drive), or nothing.
size_t rootLength(const std::string& path) {
    if (path.rfind("\\\\?\\UNC\\", 0) == 0 ||
        (path.size() > 2 && separator(path[0]) && separator(path[1]) && path[2] != '?')) {
        // \\server\share\ and \\?\UNC\server\share\: two parts after the prefix.
        size_t at = path.rfind("\\\\?\\UNC\\", 0) == 0 ? 8 : 2;
        for (int part = 0; part < 2 && at < path.size(); ++part) {
            while (at < path.size() && !separator(path[at]))
                ++at;
            if (at < path.size())
                ++at;
        }
        return at;
    }
    size_t at = 0;
    if (path.rfind("\\\\?\\", 0) == 0 || path.rfind("\\\\.\\", 0) == 0)
        at = 4;
    if (path.size() >= at + 2 && path[at + 1] == ':')
        return path.size() > at + 2 && separator(path[at + 2]) ? at + 3 : at + 2;
    return at == 0 && !path.empty() && separator(path[0]) ? 1 : at;
}

}  // namespace

std::string folderOf(const std::string& path) {
    const size_t root = rootLength(path);
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos || slash < root)
        return root > 0 ? path.substr(0, root) : ".";
    return slash + 1 == root ? path.substr(0, root) : path.substr(0, slash);
}

std::string baseName(const std::string& path) {
    const size_t root = rootLength(path);
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos || slash < root)
        return path.substr(root);
    return path.substr(slash + 1);
}

std::string inFolder(const std::string& folder, const std::string& name) {
    // A root ("C:\\", "\\") or a drive's current folder ("C:") takes the name
    // as it is; any other folder takes the separator first.
    if (folder.empty() || separator(folder.back()) || (folder.size() == 2 && folder[1] == ':'))
        return folder + name;
    return folder + "\\" + name;
}

#else

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string baseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string inFolder(const std::string& folder, const std::string& name) {
    return folder == "/" ? folder + name : folder + "/" + name;
}

#endif

void removeFile(const std::string& path) {
#if defined(_WIN32)
    DeleteFileW(widen(path).c_str());
#else
    ::unlink(path.c_str());
#endif
}

std::filesystem::path fileSystemPath(const std::string& path) {
#if defined(_WIN32)
    return std::filesystem::path(widen(path));
#else
    return std::filesystem::path(path);
#endif
}

}  // namespace tool
