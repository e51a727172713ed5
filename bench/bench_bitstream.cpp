// Loading a 64 MiB bitstream file against a raw read() of the same file into
// one preallocated buffer, with the memory the load takes beyond the file.
#include <veltra.h>
#include <windows.h>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "bitstream_writer.h"

namespace {

constexpr size_t kDataSize = 64ull << 20;

const std::string& sampleFile() {
    static const std::string path = [] {
        const std::string p =
            (std::filesystem::temp_directory_path() / "bench_bitstream_64m.bit").string();
        bitstream::Writer::standard("7vx690tffg1157", bitstream::configurationData(kDataSize))
            .writeTo(p);
        return p;
    }();
    return path;
}

size_t fileSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return static_cast<size_t>(in.tellg());
}

// Resident memory of the process, in bytes.
size_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    size_t total = 0, resident = 0;
    statm >> total >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

void LoadBitstream(benchmark::State& state) {
    const std::string& path = sampleFile();
    const size_t size = fileSize(path);
    // Measured before the library has loaded anything: the heap keeps the
    // last large block it freed, and that belongs to the load's cost.
    static const size_t before = residentBytes();
    long long extra = 0;
    for (auto _ : state) {
        VELTRA_BITSTREAMA* object = nullptr;
        if (VELTRA_LoadBitstreamA(path.c_str(), &object) != VELTRA_SUCCESS)
            state.SkipWithError("load failed");
        const long long grown =
            static_cast<long long>(residentBytes()) - static_cast<long long>(before);
        if (grown > extra)
            extra = grown;
        VELTRA_UnloadBitstreamA(object);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
    // What the load holds beyond the file's own size (the object's data is the file's).
    state.counters["extra_over_file_KiB"] =
        static_cast<double>(extra - static_cast<long long>(size)) / 1024.0;
}
BENCHMARK(LoadBitstream)->Unit(benchmark::kMillisecond)->UseRealTime();

// One read() of the whole file (more if the system returns less).
bool readWhole(const std::string& path, char* buffer, size_t size) {
    const int fd = open(path.c_str(), O_RDONLY);
    size_t done = 0;
    while (fd >= 0 && done < size) {
        const ssize_t n = read(fd, buffer + done, size - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    if (fd >= 0)
        close(fd);
    benchmark::DoNotOptimize(buffer);
    return done == size;
}

// Anonymous pages for `size` bytes on 2 MiB boundaries, backed by huge pages
// where the system allows, as the library's heap gives large blocks.
class HugePages {
  public:
    explicit HugePages(size_t size) : length_(size + kHuge) {
        raw_ = mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw_ == MAP_FAILED)
            return;
        data_ = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(raw_) + kHuge - 1) &
                                        ~(uintptr_t{kHuge} - 1));
        madvise(data_, size, MADV_HUGEPAGE);
    }
    ~HugePages() {
        if (raw_ != MAP_FAILED)
            munmap(raw_, length_);
    }
    HugePages(const HugePages&) = delete;
    HugePages& operator=(const HugePages&) = delete;

    char* data() const { return data_; }  // null if nothing could be mapped

  private:
    static constexpr size_t kHuge = 2 << 20;
    size_t length_;
    void* raw_ = MAP_FAILED;
    char* data_ = nullptr;
};

// The baseline: one read() of the whole file into a buffer made beforehand.
void RawRead(benchmark::State& state) {
    const std::string& path = sampleFile();
    const size_t size = fileSize(path);
    std::vector<char> buffer(size);
    for (auto _ : state)
        if (!readWhole(path, buffer.data(), size))
            state.SkipWithError("short read");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(RawRead)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same into a buffer made beforehand from huge pages, as the library's
// objects are: what is left between this and a load is the library's own cost.
void RawReadIntoHugePages(benchmark::State& state) {
    const std::string& path = sampleFile();
    const size_t size = fileSize(path);
    HugePages buffer(size);
    if (buffer.data() == nullptr) {
        state.SkipWithError("mmap failed");
        return;
    }
    std::memset(buffer.data(), 0, size);
    for (auto _ : state)
        if (!readWhole(path, buffer.data(), size))
            state.SkipWithError("short read");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(RawReadIntoHugePages)->Unit(benchmark::kMillisecond)->UseRealTime();

// One read() into huge pages just mapped for it, as the very first load of a
// process must: the difference to RawReadIntoHugePages is the system making
// and zeroing fresh pages.
void RawReadIntoFreshPages(benchmark::State& state) {
    const std::string& path = sampleFile();
    const size_t size = fileSize(path);
    for (auto _ : state) {
        HugePages memory(size);
        if (memory.data() == nullptr) {
            state.SkipWithError("mmap failed");
            break;
        }
        if (!readWhole(path, memory.data(), size))
            state.SkipWithError("short read");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(RawReadIntoFreshPages)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
