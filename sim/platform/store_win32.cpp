// The machine's store on Windows: a section backed by the paging file
// (private) or by a file in the state folder (shared), mapped once for the
// driver and once more for each view. Views start on the system's
// allocation granularity.
#include <windows.h>
#include <winioctl.h>

#include <cstring>

#include "machine/store.h"
#include "platform/object_names_win32.h"
#include "platform/state_files.h"

namespace vsim::os {

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

namespace {

constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

File fileOf(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<File>(handle);
}

bool isSeparator(char ch) {
    return ch == '\\' || ch == '/';
}

// Where the folders of `path` that may be made begin: after "C:\", or after
// the server and share of a UNC path ("\\server\share\").
size_t firstFolder(const std::string& path) {
    if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
        size_t separators = 0;
        for (size_t at = 2; at < path.size(); ++at)
            if (isSeparator(path[at]) && ++separators == 2)
                return at + 1;
        return path.size();
    }
    return path.size() >= 3 && path[1] == ':' ? 3 : 0;
}

bool makeFolders(const std::string& path) {
    for (size_t at = firstFolder(path); at <= path.size(); ++at) {
        if (at != path.size() && !isSeparator(path[at]))
            continue;
        const std::string part = path.substr(0, at);
        if (part.empty() || isSeparator(part.back()))
            continue;
        if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS &&
            GetLastError() != ERROR_ACCESS_DENIED)
            return false;
    }
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

StateFolder::~StateFolder() {
    if (lock_ != -1) {
        ReleaseMutex(reinterpret_cast<HANDLE>(lock_));
        CloseHandle(reinterpret_cast<HANDLE>(lock_));
    }
}

bool StateFolder::open(const std::string& root, const std::string& sub, std::string& error) {
    path_ = sub.empty() ? root : root + "\\" + sub;
    if (!makeFolders(path_)) {
        error = systemError("cannot make the state folder", path_);
        return false;
    }
    return true;
}

// A lock that another user made first, or that another process holds on
// to (opening takes a moment), is refused.
bool StateFolder::lock(std::string& error) {
    const std::string name = objectName("open", path_);
    HANDLE mutex = userObject(true, name, error);
    if (mutex == nullptr) {
        refused_ = error.find("another user") != std::string::npos;
        return false;
    }
    // An abandoned mutex is ours as well.
    constexpr DWORD kPatience = 30000;
    if (WaitForSingleObject(mutex, kPatience) == WAIT_TIMEOUT) {
        CloseHandle(mutex);
        error = "the lock " + name + " of the state folder " + path_ +
                " is held by another process that has not let it go for 30 s: refused";
        refused_ = true;
        return false;
    }
    lock_ = reinterpret_cast<intptr_t>(mutex);
    return true;
}

File StateFolder::openFile(const std::string& name, std::string& error) {
    const std::string path = pathOf(name);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND &&
        GetLastError() != ERROR_PATH_NOT_FOUND)
        error = systemError("cannot open the state file", path);
    return fileOf(file);
}

File StateFolder::createFile(const std::string& name, uint64_t) {
    HANDLE file = CreateFileA(pathOf(name).c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        // Untouched state costs no disk where the file system allows; the
        // section that maps the file gives it its size.
        DWORD returned = 0;
        DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    }
    return fileOf(file);
}

bool StateFolder::renameFile(const std::string& from, const std::string& to) {
    return MoveFileExA(pathOf(from).c_str(), pathOf(to).c_str(), 0) != 0;
}

void StateFolder::removeFile(const std::string& name) {
    DeleteFileA(pathOf(name).c_str());
}

void StateFolder::removeUnused(const std::string& name) {
    removeFile(name);
}

std::vector<std::string> StateFolder::fileNames() const {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pathOf("*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.emplace_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

bool fileSize(File file, uint64_t& size) {
    LARGE_INTEGER existing{};
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(file), &existing))
        return false;
    size = static_cast<uint64_t>(existing.QuadPart);
    return true;
}

void closeFile(File file) {
    CloseHandle(reinterpret_cast<HANDLE>(file));
}

bool soleUser(File) {
    return false;
}

void holdFile(File) {}

}  // namespace vsim::os

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

}  // namespace

Store::~Store() {
    unmap();
}

// The section maps the file, whose handle stays for flushing. The paging
// file backs a section of no file.
bool Store::mapFile(intptr_t file) {
    HANDLE section =
        CreateFileMappingA(reinterpret_cast<HANDLE>(file), nullptr, PAGE_READWRITE,
                           static_cast<DWORD>(size_ >> 32), static_cast<DWORD>(size_), nullptr);
    if (reinterpret_cast<HANDLE>(file) != INVALID_HANDLE_VALUE) {
        if (section == nullptr)
            CloseHandle(reinterpret_cast<HANDLE>(file));
        else
            file_ = file;
    }
    if (section == nullptr)
        return false;
    object_ = reinterpret_cast<intptr_t>(section);
    data_ = static_cast<uint8_t*>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    return data_ != nullptr;
}

void Store::unmap() {
    if (data_ != nullptr)
        UnmapViewOfFile(data_);
    if (object_ != -1)
        CloseHandle(reinterpret_cast<HANDLE>(object_));
    if (file_ != -1)
        CloseHandle(reinterpret_cast<HANDLE>(file_));
    data_ = nullptr;
    object_ = -1;
    file_ = -1;
}

std::unique_ptr<Store> Store::createPrivate(uint64_t size, std::string& error) {
    std::unique_ptr<Store> store(new Store);
    store->size_ = size;
    if (!store->mapFile(reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE))) {
        error = os::systemError("cannot make the memory of", "a private machine");
        return nullptr;
    }
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

void Store::sync(uint64_t offset, uint64_t length) {
    if (!shared_ || length == 0)
        return;
    FlushViewOfFile(data_ + offset, static_cast<SIZE_T>(length));
    if (file_ != -1)
        FlushFileBuffers(reinterpret_cast<HANDLE>(file_));
}

void Store::clear(uint64_t offset, uint64_t length) {
    std::memset(data_ + offset, 0, length);
}

}  // namespace vsim::model
