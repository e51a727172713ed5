// Files on the real file system, and anonymous pipes.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

class DiskFile : public FileObject {
  public:
    DiskFile(int fd, DWORD access) : FileObject(ObjectType::File), fd_(fd), access_(access) {}
    ~DiskFile() override { ::close(fd_); }
    int fd() const { return fd_; }
    bool canRead() const { return (access_ & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0; }
    bool canWrite() const {
        return (access_ & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    }

  private:
    const int fd_;
    const DWORD access_;
};

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

int openFlags(DWORD access, DWORD disposition, DWORD& error) {
    const bool read = access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA);
    const bool write = access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA);
    int flags = O_CLOEXEC | ((read && write) ? O_RDWR : write ? O_WRONLY : O_RDONLY);
    switch (disposition) {
        case CREATE_NEW:
            return flags | O_CREAT | O_EXCL;
        case CREATE_ALWAYS:
            return flags | O_CREAT | O_TRUNC;
        case OPEN_EXISTING:
            return flags;
        case OPEN_ALWAYS:
            return flags | O_CREAT;
        case TRUNCATE_EXISTING:
            return flags | O_TRUNC;
        default:
            error = ERROR_INVALID_PARAMETER;
            return -1;
    }
}

HANDLE openFile(const std::string& path, DWORD access, DWORD disposition, DWORD flags) {
    DWORD error = ERROR_SUCCESS;
    const int oflags = openFlags(access, disposition, error);
    if (oflags < 0) {
        setLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    const int fd = ::open(path.c_str(), oflags, 0666);
    if (fd < 0) {
        setLastError(errorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && !(flags & FILE_FLAG_BACKUP_SEMANTICS)) {
        // Windows opens a directory only with backup semantics.
        ::close(fd);
        setLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = HandleTable::instance().insert(new DiskFile(fd, access));
    if (handle == nullptr) {
        setLastError(ERROR_NO_SYSTEM_RESOURCES);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

HANDLE createFile(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags) {
    if (path.empty()) {
        setLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (isDevicePath(path)) {
        if (disposition != OPEN_EXISTING) {
            setLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        return openDevicePath(path, access, share, flags);
    }
    return openFile(path, access, disposition, flags);
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
    if (name == nullptr || ::unlink(name) != 0) {
        setLastError(name == nullptr ? ERROR_PATH_NOT_FOUND : errorFromErrno(errno));
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

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD read,
                     LPOVERLAPPED overlapped) {
    W32_FAULT_POINT("ReadFile", FALSE);
    FileObject* file = nullptr;
    {
        Lookup<FileObject> lookup(handle, ObjectType::File, ObjectType::Pipe);
        if (!lookup) {
            Lookup<Object> other(handle);
            setLastError(other && other->type() == ObjectType::Device ? ERROR_INVALID_FUNCTION
                                                                      : ERROR_INVALID_HANDLE);
            return FALSE;
        }
        file = lookup.retain();  // a pipe read may block
    }
    struct Releaser {
        FileObject* f;
        ~Releaser() { f->release(); }
    } releaser{file};
    if (overlapped != nullptr) {
        // Files and pipes here are opened for synchronous I/O only.
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (read == nullptr || (buffer == nullptr && count != 0)) {
        setLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *read = 0;
    if (file->type() == ObjectType::Pipe) {
        auto* pipe = static_cast<PipeEnd*>(file);
        if (!pipe->reader()) {
            setLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        ssize_t n;
        do
            n = ::recv(pipe->fd(), buffer, count, 0);
        while (n < 0 && errno == EINTR);
        if (n < 0) {
            setLastError(errorFromErrno(errno));
            return FALSE;
        }
        if (n == 0 && count != 0) {
            setLastError(ERROR_BROKEN_PIPE);
            return FALSE;
        }
        *read = static_cast<DWORD>(n);
        return TRUE;
    }
    auto* disk = static_cast<DiskFile*>(file);
    if (!disk->canRead()) {
        setLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    DWORD moved = 0;
    const bool ok = transferAll(
        [&](DWORD done, DWORD n) {
            return ::read(disk->fd(), static_cast<char*>(buffer) + done, n);
        },
        count, moved);
    *read = moved;
    return ok ? TRUE : FALSE;
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD written,
                      LPOVERLAPPED overlapped) {
    W32_FAULT_POINT("WriteFile", FALSE);
    FileObject* file = nullptr;
    {
        Lookup<FileObject> lookup(handle, ObjectType::File, ObjectType::Pipe);
        if (!lookup) {
            Lookup<Object> other(handle);
            setLastError(other && other->type() == ObjectType::Device ? ERROR_INVALID_FUNCTION
                                                                      : ERROR_INVALID_HANDLE);
            return FALSE;
        }
        file = lookup.retain();  // a pipe write may block
    }
    struct Releaser {
        FileObject* f;
        ~Releaser() { f->release(); }
    } releaser{file};
    if (overlapped != nullptr) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (written == nullptr || (buffer == nullptr && count != 0)) {
        setLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *written = 0;
    DWORD moved = 0;
    bool ok;
    if (file->type() == ObjectType::Pipe) {
        auto* pipe = static_cast<PipeEnd*>(file);
        if (pipe->reader()) {
            setLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        ok = transferAll(
            [&](DWORD done, DWORD n) {
                return ::send(pipe->fd(), static_cast<const char*>(buffer) + done, n, MSG_NOSIGNAL);
            },
            count, moved);
    } else {
        auto* disk = static_cast<DiskFile*>(file);
        if (!disk->canWrite()) {
            setLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        ok = transferAll(
            [&](DWORD done, DWORD n) {
                return ::write(disk->fd(), static_cast<const char*>(buffer) + done, n);
            },
            count, moved);
    }
    *written = moved;
    return ok ? TRUE : FALSE;
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
