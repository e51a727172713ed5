// The machine's store on Linux: a memory file (private) or a file in the
// state folder (shared), mapped once for the driver and once more for each
// view. Every process keeps a shared flock on the state file while it uses
// it, so that the one that finds none knows that nobody else is there.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "machine/store.h"
#include "platform/state_files.h"

namespace vsim::os {

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

namespace {

std::vector<std::string> namesOf(const std::string& path) {
    std::vector<std::string> names;
    size_t at = 0;
    while (at <= path.size()) {
        const size_t slash = std::min(path.find('/', at), path.size());
        const std::string name = path.substr(at, slash - at);
        if (!name.empty() && name != ".")
            names.push_back(name);
        at = slash + 1;
    }
    return names;
}

std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Why a folder or file of the state may not be used, or "".
std::string unsafeOwn(const struct stat& info, const std::string& what, const std::string& path) {
    if (info.st_uid != geteuid())
        return what + " " + path + " belongs to another user (uid " + std::to_string(info.st_uid) +
               "): refused";
    if (info.st_mode & (S_IWGRP | S_IWOTH))
        return what + " " + path + " may be changed by other users (mode " + octal(info.st_mode) +
               "): refused";
    return "";
}

}  // namespace

StateFolder::~StateFolder() {
    if (lock_ >= 0)
        close(static_cast<int>(lock_));  // ends the flock
    if (folder_ >= 0)
        close(static_cast<int>(folder_));
}

bool StateFolder::open(const std::string& root, const std::string& sub, std::string& error) {
    path_ = sub.empty() ? root : root + "/" + sub;
    const bool absolute = !root.empty() && root[0] == '/';
    std::vector<std::string> names = namesOf(root);
    const size_t ownFrom = names.empty() ? 0 : names.size() - 1;  // the state folder itself
    if (!sub.empty())
        names.push_back(sub);
    int fd = ::open(absolute ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string walked = absolute ? "" : ".";
    for (size_t i = 0; i < names.size() && fd >= 0; ++i) {
        const bool own = i >= ownFrom;
        const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (own ? O_NOFOLLOW : 0);
        walked += "/" + names[i];
        int next = openat(fd, names[i].c_str(), flags);
        if (next < 0 && errno == ENOENT) {
            if (mkdirat(fd, names[i].c_str(), 0700) != 0 && errno != EEXIST) {
                error = systemError("cannot make the state folder", walked);
                close(fd);
                return false;
            }
            next = openat(fd, names[i].c_str(), flags);
        }
        close(fd);
        fd = next;
        if (fd < 0) {
            error = errno == ELOOP || errno == ENOTDIR
                        ? walked + " is a symbolic link or not a folder: refused as a state folder"
                        : systemError("cannot open the state folder", walked);
            refused_ = errno == ELOOP || errno == ENOTDIR;
            return false;
        }
        struct stat info;
        if (fstat(fd, &info) != 0) {
            error = systemError("cannot look at the state folder", walked);
            close(fd);
            return false;
        }
        if (own)
            error = unsafeOwn(info, "the state folder", walked);
        if (!error.empty()) {
            refused_ = true;
            close(fd);
            return false;
        }
    }
    if (fd < 0) {
        error = systemError("cannot open the state folder", walked);
        return false;
    }
    folder_ = fd;
    return true;
}

bool StateFolder::lock(std::string& error) {
    const int fd =
        openat(static_cast<int>(folder_), "lock", O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0 &&
        !(error = unsafeOwn(info, "the lock file", pathOf("lock"))).empty()) {
        refused_ = true;
        close(fd);
        return false;
    }
    if (fd < 0 || flock(fd, LOCK_EX) != 0) {
        error = systemError("cannot lock", pathOf("lock"));
        refused_ = fd < 0 && errno == ELOOP;
        if (fd >= 0)
            close(fd);
        return false;
    }
    lock_ = fd;
    return true;
}

File StateFolder::openFile(const std::string& name, std::string& error) {
    const int fd = openat(static_cast<int>(folder_), name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno != ENOENT) {
            error = errno == ELOOP
                        ? "the state file " + pathOf(name) + " is a symbolic link: refused"
                        : systemError("cannot open the state file", pathOf(name));
            refused_ = errno == ELOOP;
        }
        return kNoFile;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = "the state file " + pathOf(name) + " is not a file: refused";
    } else {
        error = unsafeOwn(info, "the state file", pathOf(name));
        if (error.empty())
            return fd;
    }
    refused_ = true;
    close(fd);
    return kNoFile;
}

File StateFolder::createFile(const std::string& name, uint64_t size) {
    const int fd = openat(static_cast<int>(folder_), name.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) != 0) {
        close(fd);
        return kNoFile;
    }
    return fd;
}

bool StateFolder::renameFile(const std::string& from, const std::string& to) {
    return renameat2(static_cast<int>(folder_), from.c_str(), static_cast<int>(folder_), to.c_str(),
                     RENAME_NOREPLACE) == 0;
}

void StateFolder::removeFile(const std::string& name) {
    unlinkat(static_cast<int>(folder_), name.c_str(), 0);
}

void StateFolder::removeUnused(const std::string& name) {
    const int fd =
        openat(static_cast<int>(folder_), name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return;
    if (soleUser(fd))
        unlinkat(static_cast<int>(folder_), name.c_str(), 0);
    close(fd);
}

std::vector<std::string> StateFolder::fileNames() const {
    std::vector<std::string> names;
    const int fd = openat(static_cast<int>(folder_), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        if (fd >= 0)
            close(fd);
        return names;
    }
    while (const dirent* entry = readdir(dir))
        if (entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN)
            names.emplace_back(entry->d_name);
    closedir(dir);
    return names;
}

bool fileSize(File file, uint64_t& size) {
    struct stat info;
    if (fstat(static_cast<int>(file), &info) != 0)
        return false;
    size = static_cast<uint64_t>(info.st_size);
    return true;
}

void closeFile(File file) {
    close(static_cast<int>(file));
}

bool soleUser(File file) {
    return flock(static_cast<int>(file), LOCK_EX | LOCK_NB) == 0;
}

void holdFile(File file) {
    flock(static_cast<int>(file), LOCK_SH);
}

}  // namespace vsim::os

namespace vsim::model {

namespace {

const size_t kPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));

}  // namespace

Store::~Store() {
    unmap();
}

bool Store::mapFile(intptr_t file) {
    object_ = file;
    void* view =
        mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, static_cast<int>(file), 0);
    data_ = view == MAP_FAILED ? nullptr : static_cast<uint8_t*>(view);
    return data_ != nullptr;
}

void Store::unmap() {
    if (data_ != nullptr)
        munmap(data_, size_);
    if (object_ >= 0)
        close(static_cast<int>(object_));
    data_ = nullptr;
    object_ = -1;
}

std::unique_ptr<Store> Store::createPrivate(uint64_t size, std::string& error) {
    const int fd = memfd_create("vsim-machine", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
        error = os::systemError("cannot make the memory of", "a private machine");
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    std::unique_ptr<Store> store(new Store);
    store->size_ = size;
    if (!store->mapFile(fd)) {
        error = os::systemError("cannot map the memory of", "a private machine");
        return nullptr;
    }
    return store;
}

Store::View Store::mapView(uint64_t offset, uint64_t length) const {
    if (length == 0 || offset > size_ || length > size_ - offset)
        return {};
    const uint64_t start = offset & ~static_cast<uint64_t>(kPage - 1);
    const size_t mapped = static_cast<size_t>(offset - start + length);
    void* base = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED,
                      static_cast<int>(object_), static_cast<off_t>(start));
    if (base == MAP_FAILED)
        return {};
    return {static_cast<uint8_t*>(base) + (offset - start), base, mapped};
}

void Store::unmapView(const View& view) {
    if (view.base != nullptr)
        munmap(view.base, view.length);
}

void Store::sync(uint64_t offset, uint64_t length) {
    if (!shared_ || length == 0)
        return;
    const uint64_t start = offset & ~static_cast<uint64_t>(kPage - 1);
    msync(data_ + start, static_cast<size_t>(offset - start + length), MS_SYNC);
}

void Store::clear(uint64_t offset, uint64_t length) {
    if (fallocate(static_cast<int>(object_), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                  static_cast<off_t>(offset), static_cast<off_t>(length)) != 0)
        std::memset(data_ + offset, 0, length);
}

}  // namespace vsim::model
