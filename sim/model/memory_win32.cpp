// Card memory on Windows: plain zeroed memory, or for mappable memory a
// section backed by the paging file, which the driver maps once for itself
// and once more for each view. Views start on the system's allocation
// granularity; the address handed out is the offset's place within it.
#include <windows.h>

#include <cstdlib>

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

}  // namespace

Memory::Memory(size_t size, bool mappable) : size_(size), mappable_(mappable && size != 0) {
    if (mappable_) {
        const uint64_t bytes = size;
        HANDLE section =
            CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                               static_cast<DWORD>(bytes >> 32), static_cast<DWORD>(bytes), nullptr);
        if (section != nullptr) {
            void* view = MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, size);
            if (view != nullptr) {
                data_ = static_cast<uint8_t*>(view);
                object_ = reinterpret_cast<intptr_t>(section);
                return;
            }
            CloseHandle(section);
        }
    }
    data_ = static_cast<uint8_t*>(std::calloc(size != 0 ? size : 1, 1));
}

Memory::~Memory() {
    if (object_ != -1) {
        UnmapViewOfFile(data_);
        CloseHandle(reinterpret_cast<HANDLE>(object_));
    } else {
        std::free(data_);
    }
}

Memory::View Memory::mapView(uint64_t offset, uint64_t length) const {
    if (!mappable_ || length == 0 || !contains(offset, length))
        return {};
    if (object_ == -1)
        return {data_ + offset, nullptr, 0};
    const uint64_t start = offset & ~(granularity() - 1);
    const size_t mapped = static_cast<size_t>(offset - start + length);
    void* base = MapViewOfFile(reinterpret_cast<HANDLE>(object_), FILE_MAP_ALL_ACCESS,
                               static_cast<DWORD>(start >> 32), static_cast<DWORD>(start), mapped);
    if (base == nullptr)
        return {};
    return {static_cast<uint8_t*>(base) + (offset - start), base, mapped};
}

void Memory::unmapView(const View& view) {
    if (view.base != nullptr)
        UnmapViewOfFile(view.base);
}

}  // namespace vsim::model
