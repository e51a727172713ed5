// Loading a 64 MiB bitstream file against a raw read() of the same file into
// one preallocated buffer, with the memory the load takes beyond the file.
#include <veltra.h>
#include <windows.h>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "bitstream_writer.h"

namespace {

constexpr size_t kDataSize = 64ull << 20;

const std::string& sampleFile() {
    static const std::string path = [] {
        const std::string p = "bench_bitstream_64m.bit";
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
    long long extra = 0;
    for (auto _ : state) {
        const size_t before = residentBytes();
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

// The baseline: one read() of the whole file into a buffer made beforehand.
void RawRead(benchmark::State& state) {
    const std::string& path = sampleFile();
    const size_t size = fileSize(path);
    std::vector<char> buffer(size);
    for (auto _ : state) {
        const int fd = open(path.c_str(), O_RDONLY);
        size_t done = 0;
        while (done < size) {
            const ssize_t n = read(fd, buffer.data() + done, size - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        close(fd);
        if (done != size)
            state.SkipWithError("short read");
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(RawRead)->Unit(benchmark::kMillisecond)->UseRealTime();

// One read() of the whole file into memory allocated for it, as a load must:
// the difference to RawRead is the system making fresh pages.
void RawReadIntoFreshMemory(benchmark::State& state) {
    const std::string& path = sampleFile();
    const size_t size = fileSize(path);
    for (auto _ : state) {
        void* memory = HeapAlloc(GetProcessHeap(), 0, size);
        auto* buffer = static_cast<char*>(memory);
        const int fd = open(path.c_str(), O_RDONLY);
        size_t done = 0;
        while (done < size) {
            const ssize_t n = read(fd, buffer + done, size - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        close(fd);
        if (done != size)
            state.SkipWithError("short read");
        benchmark::DoNotOptimize(buffer);
        HeapFree(GetProcessHeap(), 0, memory);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(RawReadIntoFreshMemory)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
