// Files on the real file system, and anonymous pipes.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "kernel.h"

namespace w32 {

DWORD errorFromErrno(int error) {
    switch (error) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case ENAMETOOLONG:
            return ERROR_INVALID_NAME;
        case EPIPE:
            return ERROR_NO_DATA;
        case EFAULT:
            return ERROR_NOACCESS;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        default:
            return ERROR_INVALID_FUNCTION;
    }
}

namespace {

bool hasReadAccess(DWORD access) {
    return (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
}
bool hasWriteAccess(DWORD access) {
    return (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
}
bool hasDeleteAccess(DWORD access) {
    return (access & (DELETE | GENERIC_ALL)) != 0;
}
// For sharing, executing a file counts as reading it.
constexpr DWORD kFileExecute = 0x0020;
bool sharesAsReading(DWORD access) {
    return hasReadAccess(access) || (access & (GENERIC_EXECUTE | kFileExecute)) != 0;
}

// The error of a path that names nothing: Windows tells a missing folder on
// the way (ERROR_PATH_NOT_FOUND) from a missing last part.
DWORD missingPathError(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return ERROR_FILE_NOT_FOUND;
    struct stat st;
    const std::string folder = path.substr(0, slash);
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

DWORD pathError(int error, const std::string& path) {
    return error == ENOENT ? missingPathError(path) : errorFromErrno(error);
}

// The open handles of each file, with their access and share modes: an open
// whose access another handle does not share, or that does not share what
// another handle has, is a sharing violation, as on Windows.
class ShareModes {
  public:
    struct Key {
        dev_t device;
        ino_t inode;
        friend bool operator==(const Key&, const Key&) = default;
    };
    struct Open {
        Key key;
        DWORD access;
        DWORD share;
        const void* owner;
    };

    static ShareModes& instance() {
        static auto* modes = new ShareModes;
        return *modes;
    }

    // Records the open, or says that it conflicts with one already there.
    // An open for none of the data accesses (reading attributes, say) takes
    // no part in sharing.
    bool add(const Open& open) {
        if (!sharesAsReading(open.access) && !hasWriteAccess(open.access) &&
            !hasDeleteAccess(open.access))
            return true;
        std::lock_guard guard(lock_);
        for (const Open& other : opens_)
            if (other.key == open.key && (conflicts(open, other) || conflicts(other, open)))
                return false;
        opens_.push_back(open);
        return true;
    }
    void remove(const void* owner) {
        std::lock_guard guard(lock_);
        std::erase_if(opens_, [owner](const Open& o) { return o.owner == owner; });
    }
    // Deletes a file if every open handle of it lets it be deleted; the
    // error if not.
    DWORD deleteFile(const std::string& path) {
        std::lock_guard guard(lock_);
        struct stat st;
        if (::stat(path.c_str(), &st) == 0) {
            const Key key{st.st_dev, st.st_ino};
            for (const Open& o : opens_)
                if (o.key == key && !(o.share & FILE_SHARE_DELETE))
                    return ERROR_SHARING_VIOLATION;
        }
        return ::unlink(path.c_str()) == 0 ? ERROR_SUCCESS : pathError(errno, path);
    }

  private:
    // Whether `open` wants what `other` does not share.
    static bool conflicts(const Open& open, const Open& other) {
        return (sharesAsReading(open.access) && !(other.share & FILE_SHARE_READ)) ||
               (hasWriteAccess(open.access) && !(other.share & FILE_SHARE_WRITE)) ||
               (hasDeleteAccess(open.access) && !(other.share & FILE_SHARE_DELETE));
    }

    std::mutex lock_;
    std::vector<Open> opens_;
};

class DiskFile : public FileObject {
  public:
    DiskFile(int fd, DWORD access, DWORD flags)
        : FileObject(ObjectType::File), fd_(fd), access_(access), flags_(flags) {}
    ~DiskFile() override { ::close(fd_); }
    bool onClose() override {
        ShareModes::instance().remove(this);
        return true;
    }
    int fd() const { return fd_; }
    bool canRead() const { return hasReadAccess(access_); }
    bool canWrite() const { return hasWriteAccess(access_); }
    // Opened for overlapped I/O (every transfer names its offset).
    bool overlapped() const { return (flags_ & FILE_FLAG_OVERLAPPED) != 0; }
    // Opened for overlapped I/O past the cache: every read goes to the disk,
    // and so is pending when ReadFile returns, whenever it finishes.
    bool uncachedOverlapped() const {
        return overlapped() && (flags_ & FILE_FLAG_NO_BUFFERING) != 0;
    }

  private:
    const int fd_;
    const DWORD access_;
    const DWORD flags_;
};

// A reader whose answer is on its way gets it without sleeping: with more
// than one processor, a read looks for data for a short while before it
// blocks, as a mutex spins before it sleeps. A request and its answer between
// two threads then cost no wake-ups when the other side is quick. Returns
// what the last look gave, or -1 with EINTR when the read is still to block.
template <typename Receive>
ssize_t spinForData(Receive receive) {
    static const bool kSpin = std::thread::hardware_concurrency() > 1;
    constexpr auto kSpinTime = std::chrono::microseconds(50);
    if (kSpin) {
        const auto deadline = std::chrono::steady_clock::now() + kSpinTime;
        for (unsigned i = 1;; ++i) {
            const ssize_t n = receive(MSG_DONTWAIT);
            if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return n;
            if (i % 8 == 0 && std::chrono::steady_clock::now() >= deadline)
                break;
        }
    }
    errno = EINTR;
    return -1;
}

// One end of an anonymous pipe. A stream socket pair behaves like a Windows
// byte-mode pipe (a read returns what is there, at least one byte) and lets
// a closed handle wake a blocked reader, which a plain pipe does not.
class PipeEnd : public FileObject {
  public:
    PipeEnd(int fd, bool reader) : FileObject(ObjectType::Pipe), fd_(fd), reader_(reader) {}
    ~PipeEnd() override { ::close(fd_); }
    bool onClose() override {
        ::shutdown(fd_, SHUT_RDWR);
        return true;
    }
    int fd() const { return fd_; }
    bool reader() const { return reader_; }

  private:
    const int fd_;
    const bool reader_;
};

// Opens the file for `disposition`, without truncating it yet (the share
// check comes first). `existed` says whether the file was there before.
int openForDisposition(const std::string& path, DWORD access, DWORD disposition, bool& existed,
                       DWORD& error) {
    // An overwrite empties the file whatever the access asked for, so its
    // descriptor can write (the handle's own access still decides what
    // ReadFile and WriteFile may do).
    const bool overwrite = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    const bool read = hasReadAccess(access);
    const bool write = hasWriteAccess(access) || overwrite;
    const int mode = O_CLOEXEC | ((read && write) ? O_RDWR : write ? O_WRONLY : O_RDONLY);
    int fd = -1;
    existed = true;
    switch (disposition) {
        case CREATE_NEW:
            fd = ::open(path.c_str(), mode | O_CREAT | O_EXCL, 0666);
            existed = false;
            break;
        case CREATE_ALWAYS:
        case OPEN_ALWAYS:
            fd = ::open(path.c_str(), mode | O_CREAT | O_EXCL, 0666);
            if (fd >= 0)
                existed = false;
            else if (errno == EEXIST)
                fd = ::open(path.c_str(), mode);
            break;
        case OPEN_EXISTING:
        case TRUNCATE_EXISTING:
            fd = ::open(path.c_str(), mode);
            break;
        default:
            error = ERROR_INVALID_PARAMETER;
            return -1;
    }
    if (fd < 0)
        error = pathError(errno, path);
    return fd;
}

// A folder opens only with backup semantics, and then for any access (its
// data can be neither read nor written).
int openFolder(const std::string& path, DWORD disposition, DWORD flags, DWORD& error) {
    if (!(flags & FILE_FLAG_BACKUP_SEMANTICS) || disposition == CREATE_NEW ||
        disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
        error = disposition == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED;
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        error = pathError(errno, path);
    return fd;
}

HANDLE openFile(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                DWORD flags) {
    DWORD error = ERROR_SUCCESS;
    bool existed = true;
    struct stat st;
    const bool folder = ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    const int fd = folder ? openFolder(path, disposition, flags, error)
                          : openForDisposition(path, access, disposition, existed, error);
    if (fd < 0) {
        setLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    auto* file = new DiskFile(fd, access, flags);
    if (fstat(fd, &st) != 0) {
        file->release();
        setLastError(errorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    // Emptying a file that was there is writing it, for sharing too.
    const bool overwrites =
        existed && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
    const DWORD shareAccess = overwrites ? access | FILE_WRITE_DATA : access;
    if (!ShareModes::instance().add({{st.st_dev, st.st_ino}, shareAccess, share, file})) {
        file->release();
        setLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    if ((disposition == CREATE_ALWAYS && existed) || disposition == TRUNCATE_EXISTING) {
        if (::ftruncate(fd, 0) != 0) {
            file->onClose();
            file->release();
            setLastError(errorFromErrno(errno));
            return INVALID_HANDLE_VALUE;
        }
    }
    HANDLE handle = HandleTable::instance().insert(file);
    if (handle == nullptr) {
        file->onClose();
        file->release();
        setLastError(ERROR_NO_SYSTEM_RESOURCES);
        return INVALID_HANDLE_VALUE;
    }
    // Whether an open of these dispositions found the file there.
    const bool mayCreate = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    setLastError(mayCreate && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

HANDLE createFile(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags) {
    if (path.empty()) {
        setLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        setLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (isDevicePath(path)) {
        if (disposition != OPEN_EXISTING) {
            setLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        return openDevicePath(path, access, share, flags);
    }
    return openFile(path, access, share, disposition, flags);
}

// Moves `count` bytes with a system call that may move fewer at a time.
template <typename Op>
bool transferAll(Op op, DWORD count, DWORD& moved) {
    moved = 0;
    while (moved < count) {
        const ssize_t n = op(moved, std::min<DWORD>(count - moved, 0x40000000));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            setLastError(errorFromErrno(errno));
            return false;
        }
        if (n == 0)
            break;
        moved += static_cast<DWORD>(n);
    }
    return true;
}

}  // namespace

}  // namespace w32

using namespace w32;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                          DWORD disposition, DWORD flags, HANDLE) {
    W32_FAULT_POINT("CreateFileA", INVALID_HANDLE_VALUE);
    if (name == nullptr) {
        setLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return createFile(name, access, share, disposition, flags);
}

// Wide names are UTF-16; the Linux file system takes them as UTF-8.
HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                          DWORD disposition, DWORD flags, HANDLE) {
    W32_FAULT_POINT("CreateFileW", INVALID_HANDLE_VALUE);
    if (name == nullptr) {
        setLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return createFile(utf8FromUtf16(name), access, share, disposition, flags);
}

BOOL WINAPI DeleteFileA(LPCSTR name) {
    W32_FAULT_POINT("DeleteFileA", FALSE);
    if (name == nullptr || *name == '\0') {
        setLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    const DWORD error = ShareModes::instance().deleteFile(name);
    if (error != ERROR_SUCCESS) {
        setLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DeleteFileW(LPCWSTR name) {
    W32_FAULT_POINT("DeleteFileW", FALSE);
    if (name == nullptr) {
        setLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    return DeleteFileA(utf8FromUtf16(name).c_str());
}

}  // extern "C"

namespace w32 {
namespace {

// A file or pipe named by a handle, kept alive while a transfer may block.
class TransferTarget {
  public:
    explicit TransferTarget(HANDLE handle) {
        Lookup<FileObject> lookup(handle, ObjectType::File, ObjectType::Pipe);
        if (lookup) {
            file_ = lookup.retain();
            return;
        }
        Lookup<Object> other(handle);
        error_ = other && other->type() == ObjectType::Device ? ERROR_INVALID_FUNCTION
                                                              : ERROR_INVALID_HANDLE;
    }
    ~TransferTarget() {
        if (file_ != nullptr)
            file_->release();
    }
    TransferTarget(const TransferTarget&) = delete;
    TransferTarget& operator=(const TransferTarget&) = delete;

    FileObject* file() const { return file_; }
    DWORD error() const { return error_; }

  private:
    FileObject* file_ = nullptr;
    DWORD error_ = ERROR_SUCCESS;
};

// The event of a transfer's OVERLAPPED, checked and reset before the
// transfer and set when it is done, as Windows does; none is fine.
class TransferEvent {
  public:
    explicit TransferEvent(HANDLE handle) {
        if (handle == nullptr)
            return;
        Lookup<Event> lookup(handle, ObjectType::Event);
        if (!lookup) {
            valid_ = false;
            return;
        }
        event_ = lookup.retain();
        event_->reset();
    }
    ~TransferEvent() {
        if (event_ != nullptr)
            event_->release();
    }
    TransferEvent(const TransferEvent&) = delete;
    TransferEvent& operator=(const TransferEvent&) = delete;

    bool valid() const { return valid_; }
    void set() {
        if (event_ != nullptr)
            event_->set();
    }

  private:
    Event* event_ = nullptr;
    bool valid_ = true;
};

// Where a transfer with an OVERLAPPED goes. Two offsets are special: all
// bits set writes at the end of the file, and 0xFFFFFFFF:FFFFFFFE keeps to
// the file position of a synchronous handle; other offsets from 2^63 up are
// invalid. -1 means the file position.
bool transferOffset(const DiskFile& disk, const OVERLAPPED* overlapped, bool write, int64_t& at) {
    const uint64_t offset = overlapped->Offset | uint64_t{overlapped->OffsetHigh} << 32;
    if (offset == ~uint64_t{0} && write) {
        struct stat st;
        at = ::fstat(disk.fd(), &st) == 0 ? st.st_size : 0;
        return true;
    }
    if (offset == ~uint64_t{1} && !disk.overlapped()) {
        at = ::lseek(disk.fd(), 0, SEEK_CUR);
        return true;
    }
    if (offset >> 63)
        return false;
    at = static_cast<int64_t>(offset);
    return true;
}

// A transfer of a disk file: at the file position, or (with an OVERLAPPED)
// at the OVERLAPPED's offset, after which a synchronous handle's position is
// just past what moved. Completes at once, as Windows does for cached files,
// with the outcome also in the OVERLAPPED (status, count, event); an
// uncached read on an overlapped handle is reported pending instead.
template <typename Op>
BOOL transferDisk(DiskFile& disk, bool write, DWORD count, LPDWORD moved, LPOVERLAPPED overlapped,
                  Op op) {
    if (overlapped == nullptr && disk.overlapped()) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    TransferEvent event(overlapped != nullptr ? overlapped->hEvent : nullptr);
    if (!event.valid()) {
        setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(write ? disk.canWrite() : disk.canRead())) {
        setLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    int64_t at = -1;
    if (overlapped != nullptr && !transferOffset(disk, overlapped, write, at)) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD done = 0;
    DWORD error = ERROR_SUCCESS;
    if (!transferAll([&](DWORD offset, DWORD n) { return op(at, offset, n); }, count, done))
        error = GetLastError();
    if (overlapped == nullptr) {
        *moved = done;
        return error == ERROR_SUCCESS ? TRUE : FALSE;
    }
    if (!disk.overlapped())
        ::lseek(disk.fd(), at + done, SEEK_SET);
    // Reading at or past the end with an OVERLAPPED is an end-of-file error.
    if (error == ERROR_SUCCESS && !write && done == 0 && count != 0)
        error = ERROR_HANDLE_EOF;
    overlapped->Internal = ntStatusOf(error);
    overlapped->InternalHigh = done;
    event.set();
    // An uncached read reports only that it is under way, end of file
    // included; GetOverlappedResult gives its count or its error.
    if (!write && disk.uncachedOverlapped()) {
        setLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (moved != nullptr)
        *moved = done;
    if (error != ERROR_SUCCESS) {
        setLastError(error);
        return FALSE;
    }
    return TRUE;
}

// Windows clears the count, and marks an OVERLAPPED pending, before it looks
// at anything else.
void clearOutcome(LPDWORD count, LPOVERLAPPED overlapped) {
    if (count != nullptr)
        *count = 0;
    if (overlapped != nullptr) {
        overlapped->Internal = STATUS_PENDING;
        overlapped->InternalHigh = 0;
    }
}

}  // namespace
}  // namespace w32

extern "C" {

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD read,
                     LPOVERLAPPED overlapped) {
    clearOutcome(read, overlapped);
    W32_FAULT_POINT("ReadFile", FALSE);
    TransferTarget target(handle);
    FileObject* file = target.file();
    if (file == nullptr) {
        setLastError(target.error());
        return FALSE;
    }
    if ((read == nullptr && overlapped == nullptr) || (buffer == nullptr && count != 0)) {
        setLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (file->type() == ObjectType::Pipe) {
        auto* pipe = static_cast<PipeEnd*>(file);
        if (overlapped != nullptr) {
            // Anonymous pipes here are for synchronous transfers only.
            setLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (!pipe->reader()) {
            setLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        // A read of no bytes waits for data as any read does, and takes none.
        char probe;
        auto receive = [&](int flags) {
            return count != 0 ? ::recv(pipe->fd(), buffer, count, flags)
                              : ::recv(pipe->fd(), &probe, 1, MSG_PEEK | flags);
        };
        ssize_t n = spinForData(receive);
        while (n < 0 && errno == EINTR)
            n = receive(0);
        if (n < 0) {
            setLastError(errorFromErrno(errno));
            return FALSE;
        }
        // Drained, and the writer gone: whatever the count, the pipe is broken.
        if (n == 0) {
            setLastError(ERROR_BROKEN_PIPE);
            return FALSE;
        }
        *read = count != 0 ? static_cast<DWORD>(n) : 0;
        return TRUE;
    }
    auto* disk = static_cast<DiskFile*>(file);
    return transferDisk(
        *disk, false, count, read, overlapped, [&](int64_t at, DWORD done, DWORD n) {
            char* into = static_cast<char*>(buffer) + done;
            return at < 0 ? ::read(disk->fd(), into, n) : ::pread(disk->fd(), into, n, at + done);
        });
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD written,
                      LPOVERLAPPED overlapped) {
    clearOutcome(written, overlapped);
    W32_FAULT_POINT("WriteFile", FALSE);
    TransferTarget target(handle);
    FileObject* file = target.file();
    if (file == nullptr) {
        setLastError(target.error());
        return FALSE;
    }
    if (written == nullptr && overlapped == nullptr) {
        setLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (buffer == nullptr && count != 0) {
        setLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (file->type() == ObjectType::Pipe) {
        auto* pipe = static_cast<PipeEnd*>(file);
        if (overlapped != nullptr) {
            setLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (pipe->reader()) {
            setLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        return transferAll(
                   [&](DWORD done, DWORD n) {
                       return ::send(pipe->fd(), static_cast<const char*>(buffer) + done, n,
                                     MSG_NOSIGNAL);
                   },
                   count, *written)
                   ? TRUE
                   : FALSE;
    }
    auto* disk = static_cast<DiskFile*>(file);
    return transferDisk(
        *disk, true, count, written, overlapped, [&](int64_t at, DWORD done, DWORD n) {
            const char* from = static_cast<const char*>(buffer) + done;
            return at < 0 ? ::write(disk->fd(), from, n) : ::pwrite(disk->fd(), from, n, at + done);
        });
}

BOOL WINAPI GetFileSizeEx(HANDLE handle, PLARGE_INTEGER size) {
    W32_FAULT_POINT("GetFileSizeEx", FALSE);
    Lookup<DiskFile> file(handle, ObjectType::File);
    if (!file) {
        setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    struct stat st;
    if (fstat(file->fd(), &st) != 0) {
        setLastError(errorFromErrno(errno));
        return FALSE;
    }
    if (size == nullptr) {
        setLastError(ERROR_NOACCESS);
        return FALSE;
    }
    size->QuadPart = st.st_size;
    return TRUE;
}

BOOL WINAPI SetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, PLARGE_INTEGER newPosition,
                             DWORD method) {
    W32_FAULT_POINT("SetFilePointerEx", FALSE);
    Lookup<DiskFile> file(handle, ObjectType::File);
    if (!file) {
        setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    int whence;
    switch (method) {
        case FILE_BEGIN:
            whence = SEEK_SET;
            break;
        case FILE_CURRENT:
            whence = SEEK_CUR;
            break;
        case FILE_END:
            whence = SEEK_END;
            break;
        default:
            setLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
    const off_t position = ::lseek(file->fd(), distance.QuadPart, whence);
    if (position < 0) {
        setLastError(errno == EINVAL ? ERROR_NEGATIVE_SEEK : errorFromErrno(errno));
        return FALSE;
    }
    if (newPosition != nullptr)
        newPosition->QuadPart = position;
    return TRUE;
}

BOOL WINAPI CreatePipe(PHANDLE readPipe, PHANDLE writePipe, LPSECURITY_ATTRIBUTES, DWORD) {
    W32_FAULT_POINT("CreatePipe", FALSE);
    if (readPipe == nullptr || writePipe == nullptr) {
        setLastError(ERROR_NOACCESS);
        return FALSE;
    }
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        setLastError(errorFromErrno(errno));
        return FALSE;
    }
    ::shutdown(fds[0], SHUT_WR);
    ::shutdown(fds[1], SHUT_RD);
    auto* reader = new PipeEnd(fds[0], true);
    auto* writer = new PipeEnd(fds[1], false);
    HANDLE r = HandleTable::instance().insert(reader);
    HANDLE w = r != nullptr ? HandleTable::instance().insert(writer) : nullptr;
    if (w == nullptr) {
        if (r != nullptr)
            CloseHandle(r);
        else
            reader->release();
        writer->release();
        setLastError(ERROR_NO_SYSTEM_RESOURCES);
        return FALSE;
    }
    *readPipe = r;
    *writePipe = w;
    return TRUE;
}

}  // extern "C"
