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
#include <cstring>

#include "machine/store.h"
#include "platform/state_files.h"

namespace vsim::os {

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

bool makeFolders(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/')
            continue;
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

OpeningLock::~OpeningLock() {
    if (handle_ > 0)
        close(static_cast<int>(handle_));  // ends the flock
}

bool OpeningLock::take(const std::string& folder, std::string& error) {
    const std::string path = folder + "/lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) {
        error = systemError("cannot lock", path);
        if (fd >= 0)
            close(fd);
        return false;
    }
    handle_ = fd;
    return true;
}

File openFile(const std::string& path) {
    return open(path.c_str(), O_RDWR | O_CLOEXEC);
}

File createFile(const std::string& path, uint64_t size) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) != 0) {
        close(fd);
        return kNoFile;
    }
    return fd;
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

void removeFile(const std::string& path) {
    unlink(path.c_str());
}

bool soleUser(File file) {
    return flock(static_cast<int>(file), LOCK_EX | LOCK_NB) == 0;
}

void holdFile(File file) {
    flock(static_cast<int>(file), LOCK_SH);
}

void removeStale(const std::string& folder, const std::string& prefix, const std::string& keep) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return;
    while (const dirent* entry = readdir(dir)) {
        const std::string file = entry->d_name;
        if (file == keep || file.rfind(prefix, 0) != 0)
            continue;
        const std::string stale = folder + "/" + file;
        const int fd = open(stale.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 && soleUser(fd))
            unlink(stale.c_str());
        if (fd >= 0)
            close(fd);
    }
    closedir(dir);
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

void Store::clear(uint64_t offset, uint64_t length) {
    if (fallocate(static_cast<int>(object_), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                  static_cast<off_t>(offset), static_cast<off_t>(length)) != 0)
        std::memset(data_ + offset, 0, length);
}

}  // namespace vsim::model
