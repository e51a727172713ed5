// The machine's store on Linux: a memory file (private) or a file in the
// state folder (shared), mapped once for the driver and once more for each
// view. The machine's lock is a robust, process-shared mutex in the store.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <linux/futex.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "machine_state.h"
#include "memory.h"

namespace vsim::model {

namespace {

const size_t kPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

pthread_mutex_t* machineMutex(uint8_t* data) {
    return reinterpret_cast<pthread_mutex_t*>(reinterpret_cast<StateHeader*>(data)->lockWord);
}

void initializeMutex(uint8_t* data) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(machineMutex(data), &attributes);
    pthread_mutexattr_destroy(&attributes);
}

// Makes each folder of `path` that is missing.
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

// Maps a file descriptor's first `size` bytes, or returns null.
uint8_t* mapAll(int fd, uint64_t size) {
    void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return view == MAP_FAILED ? nullptr : static_cast<uint8_t*>(view);
}

}  // namespace

Store::~Store() {
    if (data_ != nullptr)
        munmap(data_, size_);
    if (object_ >= 0)
        close(static_cast<int>(object_));
}

std::unique_ptr<Store> Store::createPrivate(uint64_t size, std::string& error) {
    const int fd = memfd_create("vsim-machine", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
        error = systemError("cannot make the memory of", "a private machine");
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    std::unique_ptr<Store> store(new Store);
    store->object_ = fd;
    store->size_ = size;
    store->data_ = mapAll(fd, size);
    if (store->data_ == nullptr) {
        error = systemError("cannot map the memory of", "a private machine");
        return nullptr;
    }
    initializeMutex(store->data_);
    return store;
}

std::unique_ptr<Store> Store::openShared(const std::string& folder, const std::string& name,
                                         const std::string& stalePrefix, uint64_t size,
                                         const std::function<bool(uint8_t*)>& valid,
                                         const std::function<void(uint8_t*)>& initialize,
                                         std::string& error) {
    if (!makeFolders(folder)) {
        error = systemError("cannot make the state folder", folder);
        return nullptr;
    }
    // Processes make and check the file one at a time.
    const std::string lockPath = folder + "/lock";
    const int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0 || flock(lockFd, LOCK_EX) != 0) {
        error = systemError("cannot lock", lockPath);
        if (lockFd >= 0)
            close(lockFd);
        return nullptr;
    }
    std::unique_ptr<Store> store(new Store);
    store->shared_ = true;
    store->size_ = size;
    const std::string path = folder + "/" + name;
    // Every process keeps a shared flock on the state file while it uses it,
    // so that the one that finds none knows that nobody else is there.
    auto sole = [](int fd) { return flock(fd, LOCK_EX | LOCK_NB) == 0; };
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0 && static_cast<uint64_t>(info.st_size) == size) {
        store->object_ = fd;
        store->data_ = mapAll(fd, size);
        if (store->data_ != nullptr && !valid(store->data_)) {
            munmap(store->data_, size);
            store->data_ = nullptr;
        }
        // Alone with the file: a lock word left by a system that went down
        // while a process held it names a thread that is long gone.
        if (store->data_ != nullptr && sole(fd))
            initializeMutex(store->data_);
    } else if (fd >= 0) {
        close(fd);
    }
    if (store->data_ == nullptr) {
        // A process that still has the old file mapped keeps it until it ends.
        if (store->object_ >= 0)
            close(static_cast<int>(store->object_));
        store->object_ = -1;
        unlink(path.c_str());
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0 ||
            (store->data_ = mapAll(fd, size)) == nullptr) {
            error = systemError("cannot make the state file", path);
            if (fd >= 0)
                close(fd);
            unlink(path.c_str());
            close(lockFd);
            return nullptr;
        }
        store->object_ = fd;
        initializeMutex(store->data_);
        initialize(store->data_);
        // The states of earlier versions of the description, unless a process
        // still uses one.
        if (DIR* dir = opendir(folder.c_str())) {
            while (const dirent* entry = readdir(dir)) {
                const std::string file = entry->d_name;
                if (file == name || file.rfind(stalePrefix, 0) != 0)
                    continue;
                const std::string stale = folder + "/" + file;
                const int staleFd = open(stale.c_str(), O_RDONLY | O_CLOEXEC);
                if (staleFd >= 0 && sole(staleFd))
                    unlink(stale.c_str());
                if (staleFd >= 0)
                    close(staleFd);
            }
            closedir(dir);
        }
    }
    flock(static_cast<int>(store->object_), LOCK_SH);
    close(lockFd);  // ends the flock
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

void Store::lock() {
    if (pthread_mutex_lock(machineMutex(data_)) == EOWNERDEAD)
        pthread_mutex_consistent(machineMutex(data_));
}

void Store::unlock() {
    pthread_mutex_unlock(machineMutex(data_));
}

}  // namespace vsim::model

// Linux: a futex on the counter in the shared mapping wakes every process
// that waits on it; no table is needed.
namespace vsim::model {

void Store::addWatcher(std::atomic<uint32_t>*, size_t, uint32_t) {}
void Store::removeWatcher(std::atomic<uint32_t>*, size_t, uint32_t) {}

void Store::awaitChange(std::atomic<uint32_t>& counter, uint32_t seen, uint32_t, int milliseconds) {
    const timespec timeout{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&counter), FUTEX_WAIT, seen, &timeout, nullptr,
            0);
}

void Store::wakeWatchers(std::atomic<uint32_t>& counter, std::atomic<uint32_t>*, size_t, uint32_t) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&counter), FUTEX_WAKE, INT32_MAX, nullptr,
            nullptr, 0);
}

}  // namespace vsim::model

namespace vsim::model {

namespace {

// The start time of a running process, in clock ticks after boot (field 22
// of /proc/PID/stat); false if there is no such process, or it has ended
// and only waits to be reaped.
bool processStart(pid_t pid, uint64_t& start) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* file = std::fopen(path, "re");
    if (file == nullptr)
        return false;
    char line[1024];
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    // The name (field 2) may hold spaces and parentheses: fields go on after
    // its last ')'.
    const char* at = read ? std::strrchr(line, ')') : nullptr;
    if (at == nullptr)
        return false;
    char state = 0;
    unsigned long long ticks = 0;
    // state (3), then 18 fields up to starttime (22).
    if (std::sscanf(at + 1,
                    " %c %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s "
                    "%*s %*s %*s %llu",
                    &state, &ticks) != 2)
        return false;
    start = ticks;
    return state != 'Z' && state != 'X';
}

uint64_t processName(pid_t pid, uint64_t start) {
    return uint64_t{static_cast<uint32_t>(pid)} << 32 | (start & 0xFFFFFFFFu);
}

}  // namespace

// Asked again in a child that fork made, which is another process.
uint64_t thisProcess() {
    static std::atomic<uint64_t> self{0};
    uint64_t known = self.load(std::memory_order_relaxed);
    if (known == 0 || static_cast<pid_t>(known >> 32) != getpid()) {
        uint64_t start = 0;
        processStart(getpid(), start);
        known = processName(getpid(), start);
        self.store(known, std::memory_order_relaxed);
    }
    return known;
}

bool processRuns(uint64_t process) {
    const auto pid = static_cast<pid_t>(process >> 32);
    uint64_t start = 0;
    if (pid <= 0 || !processStart(pid, start))
        return false;
    return processName(pid, start) == process;
}

}  // namespace vsim::model
