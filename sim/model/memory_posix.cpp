// Card memory on Linux: plain zeroed memory, or for mappable memory a memory
// file that the driver maps once for itself and once more for each view.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

#include "memory.h"

namespace vsim::model {

namespace {
const size_t kPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));
}  // namespace

Memory::Memory(size_t size, bool mappable) : size_(size), mappable_(mappable && size != 0) {
    if (mappable_) {
        const int fd = memfd_create("vsim-card-memory", MFD_CLOEXEC);
        if (fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) == 0) {
            void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (view != MAP_FAILED) {
                data_ = static_cast<uint8_t*>(view);
                object_ = fd;
                return;
            }
        }
        if (fd >= 0)
            close(fd);
    }
    data_ = static_cast<uint8_t*>(std::calloc(size != 0 ? size : 1, 1));
}

Memory::~Memory() {
    if (object_ >= 0) {
        munmap(data_, size_);
        close(static_cast<int>(object_));
    } else {
        std::free(data_);
    }
}

Memory::View Memory::mapView(uint64_t offset, uint64_t length) const {
    if (!mappable_ || length == 0 || !contains(offset, length))
        return {};
    if (object_ < 0)
        return {data_ + offset, nullptr, 0};
    const uint64_t start = offset & ~static_cast<uint64_t>(kPage - 1);
    const size_t mapped = static_cast<size_t>(offset - start + length);
    void* base = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED,
                      static_cast<int>(object_), static_cast<off_t>(start));
    if (base == MAP_FAILED)
        return {};
    return {static_cast<uint8_t*>(base) + (offset - start), base, mapped};
}

void Memory::unmapView(const View& view) {
    if (view.base != nullptr)
        munmap(view.base, view.length);
}

}  // namespace vsim::model
