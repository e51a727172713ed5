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

OpeningLock::~OpeningLock() {
    if (handle_ != 0) {
        ReleaseMutex(reinterpret_cast<HANDLE>(handle_));
        CloseHandle(reinterpret_cast<HANDLE>(handle_));
    }
}

bool OpeningLock::take(const std::string& folder, std::string& error) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, objectName("open", folder).c_str());
    if (mutex == nullptr) {
        error = systemError("cannot make the lock of", folder);
        return false;
    }
    // An abandoned mutex is ours as well.
    WaitForSingleObject(mutex, INFINITE);
    handle_ = reinterpret_cast<intptr_t>(mutex);
    return true;
}

namespace {

constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

File fileOf(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<File>(handle);
}

}  // namespace

File openFile(const std::string& path) {
    return fileOf(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

File createFile(const std::string& path, uint64_t) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        // Untouched state costs no disk where the file system allows; the
        // section that maps the file gives it its size.
        DWORD returned = 0;
        DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    }
    return fileOf(file);
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

void removeFile(const std::string& path) {
    DeleteFileA(path.c_str());
}

bool soleUser(File) {
    return false;
}

void holdFile(File) {}

void removeStale(const std::string& folder, const std::string& prefix, const std::string& keep) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\" + prefix + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (keep != found.cFileName)
            DeleteFileA((folder + "\\" + found.cFileName).c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

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

// The section keeps the file; its handle is not needed after. The paging
// file backs a section of no file.
bool Store::mapFile(intptr_t file) {
    HANDLE section =
        CreateFileMappingA(reinterpret_cast<HANDLE>(file), nullptr, PAGE_READWRITE,
                           static_cast<DWORD>(size_ >> 32), static_cast<DWORD>(size_), nullptr);
    if (reinterpret_cast<HANDLE>(file) != INVALID_HANDLE_VALUE)
        CloseHandle(reinterpret_cast<HANDLE>(file));
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
    data_ = nullptr;
    object_ = -1;
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

void Store::clear(uint64_t offset, uint64_t length) {
    std::memset(data_ + offset, 0, length);
}

}  // namespace vsim::model
