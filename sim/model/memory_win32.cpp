// The machine's store on Windows: a section backed by the paging file
// (private) or by a file in the state folder (shared), mapped once for the
// driver and once more for each view. Views start on the system's
// allocation granularity. The machine's lock is a mutex, named after the
// state file for a shared store; an abandoned wait takes the lock over.
#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <map>
#include <mutex>

#include "memory.h"

namespace vsim::model {

namespace {

uint64_t granularity() {
    static const uint64_t value = [] {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return static_cast<uint64_t>(info.dwAllocationGranularity);
    }();
    return value;
}

std::string systemError(const std::string& what, const std::string& path) {
    char text[256] = "";
    const DWORD error = GetLastError();
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   text, sizeof text, nullptr);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    return what + " " + path + ": " +
           (message.empty() ? "error " + std::to_string(error) : message);
}

// A name for kernel objects made from a path (which may not hold backslashes).
std::string objectName(const char* kind, const std::string& path) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (char ch : path) {
        const char lower = ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
        hash = (hash ^ static_cast<unsigned char>(lower)) * 0x100000001B3ull;
    }
    char name[80];
    std::snprintf(name, sizeof name, "Local\\veltra-sim-%s-%016llx", kind,
                  static_cast<unsigned long long>(hash));
    return name;
}

bool makeFolders(const std::string& path) {
    for (size_t at = 3; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '\\' && path[at] != '/')
            continue;
        const std::string part = path.substr(0, at);
        if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Takes a mutex; an abandoned one is ours as well.
void take(HANDLE mutex) {
    WaitForSingleObject(mutex, INFINITE);
}

}  // namespace

Store::~Store() {
    if (data_ != nullptr)
        UnmapViewOfFile(data_);
    if (object_ != -1)
        CloseHandle(reinterpret_cast<HANDLE>(object_));
    if (mutex_ != 0)
        CloseHandle(reinterpret_cast<HANDLE>(mutex_));
}

std::unique_ptr<Store> Store::createPrivate(uint64_t size, std::string& error) {
    std::unique_ptr<Store> store(new Store);
    HANDLE section =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                           static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), nullptr);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    store->mutex_ = reinterpret_cast<intptr_t>(mutex);
    if (section == nullptr || mutex == nullptr) {
        error = systemError("cannot make the memory of", "a private machine");
        if (section != nullptr)
            CloseHandle(section);
        return nullptr;
    }
    store->object_ = reinterpret_cast<intptr_t>(section);
    store->size_ = size;
    store->data_ = static_cast<uint8_t*>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (store->data_ == nullptr) {
        error = systemError("cannot map the memory of", "a private machine");
        return nullptr;
    }
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
    const std::string path = folder + "\\" + name;
    std::unique_ptr<Store> store(new Store);
    store->shared_ = true;
    store->size_ = size;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, objectName("lock", path).c_str());
    // Processes make and check the file one at a time.
    HANDLE opening = CreateMutexA(nullptr, FALSE, objectName("open", folder).c_str());
    if (mutex == nullptr || opening == nullptr) {
        error = systemError("cannot make the locks of", path);
        if (mutex != nullptr)
            CloseHandle(mutex);
        if (opening != nullptr)
            CloseHandle(opening);
        return nullptr;
    }
    store->mutex_ = reinterpret_cast<intptr_t>(mutex);
    store->path_ = path;
    take(opening);
    auto mapFile = [&store, size](HANDLE file) {
        HANDLE section =
            CreateFileMappingA(file, nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                               static_cast<DWORD>(size), nullptr);
        CloseHandle(file);
        if (section == nullptr)
            return false;
        store->object_ = reinterpret_cast<intptr_t>(section);
        store->data_ = static_cast<uint8_t*>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        return store->data_ != nullptr;
    };
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER existing{};
    bool good = false;
    if (file != INVALID_HANDLE_VALUE) {
        if (GetFileSizeEx(file, &existing) && static_cast<uint64_t>(existing.QuadPart) == size)
            good = mapFile(file) && valid(store->data_);
        else
            CloseHandle(file);
    }
    if (!good) {
        if (store->data_ != nullptr)
            UnmapViewOfFile(store->data_);
        if (store->object_ != -1)
            CloseHandle(reinterpret_cast<HANDLE>(store->object_));
        store->data_ = nullptr;
        store->object_ = -1;
        DeleteFileA(path.c_str());
        file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            // Untouched state costs no disk where the file system allows.
            DWORD returned = 0;
            DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
        }
        if (file == INVALID_HANDLE_VALUE || !mapFile(file)) {
            error = systemError("cannot make the state file", path);
            ReleaseMutex(opening);
            CloseHandle(opening);
            return nullptr;
        }
        initialize(store->data_);
        // The states of earlier versions of the description.
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((folder + "\\" + stalePrefix + "*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if (name != found.cFileName)
                    DeleteFileA((folder + "\\" + found.cFileName).c_str());
            } while (FindNextFileA(search, &found));
            FindClose(search);
        }
    }
    ReleaseMutex(opening);
    CloseHandle(opening);
    return store;
}

Store::View Store::mapView(uint64_t offset, uint64_t length) const {
    if (length == 0 || offset > size_ || length > size_ - offset)
        return {};
    const uint64_t start = offset & ~(granularity() - 1);
    const size_t mapped = static_cast<size_t>(offset - start + length);
    void* base = MapViewOfFile(reinterpret_cast<HANDLE>(object_), FILE_MAP_ALL_ACCESS,
                               static_cast<DWORD>(start >> 32), static_cast<DWORD>(start), mapped);
    if (base == nullptr)
        return {};
    return {static_cast<uint8_t*>(base) + (offset - start), base, mapped};
}

void Store::unmapView(const View& view) {
    if (view.base != nullptr)
        UnmapViewOfFile(view.base);
}

void Store::clear(uint64_t offset, uint64_t length) {
    std::memset(data_ + offset, 0, length);
}

void Store::lock() {
    take(reinterpret_cast<HANDLE>(mutex_));
}

void Store::unlock() {
    ReleaseMutex(reinterpret_cast<HANDLE>(mutex_));
}

// Each watcher has an event of its own, named after the store and the
// watcher; a change sets the event of every listed watcher. A watcher whose
// event is gone (its process ended) leaves the list.
namespace {

std::mutex& watcherLock() {
    static std::mutex lock;
    return lock;
}
std::map<uint32_t, HANDLE>& watcherEvents() {
    static auto* events = new std::map<uint32_t, HANDLE>;
    return *events;
}
std::string watcherName(const std::string& path, uint32_t watcher) {
    return objectName(("watch-" + std::to_string(watcher)).c_str(), path);
}

}  // namespace

void Store::addWatcher(std::atomic<uint32_t>* watchers, size_t count, uint32_t self) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, watcherName(path_, self).c_str());
    if (event == nullptr)
        return;
    {
        std::lock_guard guard(watcherLock());
        watcherEvents()[self] = event;
    }
    lock();
    for (size_t i = 0; i < count; ++i) {
        uint32_t empty = 0;
        if (watchers[i].compare_exchange_strong(empty, self))
            break;
    }
    unlock();
}

void Store::removeWatcher(std::atomic<uint32_t>* watchers, size_t count, uint32_t self) {
    lock();
    for (size_t i = 0; i < count; ++i) {
        uint32_t mine = self;
        watchers[i].compare_exchange_strong(mine, 0);
    }
    unlock();
    std::lock_guard guard(watcherLock());
    auto found = watcherEvents().find(self);
    if (found != watcherEvents().end()) {
        CloseHandle(found->second);
        watcherEvents().erase(found);
    }
}

void Store::awaitChange(std::atomic<uint32_t>& counter, uint32_t seen, uint32_t self,
                        int milliseconds) {
    HANDLE event = nullptr;
    {
        std::lock_guard guard(watcherLock());
        auto found = watcherEvents().find(self);
        if (found != watcherEvents().end())
            event = found->second;
    }
    if (counter.load() != seen)
        return;
    if (event != nullptr)
        WaitForSingleObject(event, static_cast<DWORD>(milliseconds));
    else
        Sleep(static_cast<DWORD>(milliseconds));
}

void Store::wakeWatchers(std::atomic<uint32_t>&, std::atomic<uint32_t>* watchers, size_t count,
                         uint32_t self) {
    for (size_t i = 0; i < count; ++i) {
        uint32_t watcher = watchers[i].load();
        if (watcher == 0 || watcher == self)
            continue;
        HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, watcherName(path_, watcher).c_str());
        if (event == nullptr) {
            watchers[i].compare_exchange_strong(watcher, 0);
            continue;
        }
        SetEvent(event);
        CloseHandle(event);
    }
}

}  // namespace vsim::model

namespace vsim::model {

namespace {

// A process's id and creation time, folded into one name; 0 if it cannot
// be asked (it has ended, or never was).
uint64_t processName(DWORD pid, HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    const uint64_t stamp = uint64_t{created.dwHighDateTime} << 32 | created.dwLowDateTime;
    return uint64_t{pid} << 32 | static_cast<uint32_t>(stamp ^ (stamp >> 32));
}

}  // namespace

uint64_t thisProcess() {
    static const uint64_t self = processName(GetCurrentProcessId(), GetCurrentProcess());
    return self;
}

bool processRuns(uint64_t process) {
    const auto pid = static_cast<DWORD>(process >> 32);
    HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (handle == nullptr)
        // Another user's process is there, though this one may not look at it.
        return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool runs = GetExitCodeProcess(handle, &code) && code == STILL_ACTIVE &&
                      processName(pid, handle) == process;
    CloseHandle(handle);
    return runs;
}

}  // namespace vsim::model
