// The veltra tool's two long jobs against the library calls they make, in
// one process on the simulated card: `flash write` of card 0's whole 64 MiB
// chip with verify, and `program` with a 64 MiB bitstream. The baselines
// make the same library calls with the data already in memory; the tool's
// figures include reading the file, and for `flash write` the card's lock
// and the recovery file (the machine's state is shared, in a folder of the
// benchmark's own, as an operator's is), whose cost alone is measured too.
#include <veltra.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_common.h"
#include "bitstream_writer.h"
#include "card_lock.h"
#include "cards.h"
#include "command_table.h"
#include "recovery.h"

namespace {

constexpr size_t kFlashSize = size_t{64} << 20;
const char* const kImage = "bench_tool_image.bin";
const char* const kDesign = "bench_tool_design.bit";

std::vector<uint8_t> image() {
    std::vector<uint8_t> data(kFlashSize);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 13 + (i >> 16));
    return data;
}

// The tool's command line, run in this process with its output discarded.
void runTool(benchmark::State& state, std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    const int code = tool::run(static_cast<int>(argv.size()), argv.data());
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    if (code != 0)
        state.SkipWithError("the tool failed");
}

// Open the card, erase the chip, write it, read it back, compare and close:
// what `flash write` does, in the fewest calls.
void FlashLibraryCalls(benchmark::State& state) {
    const std::vector<uint8_t> data = image();
    std::vector<uint8_t> back(kFlashSize);
    for (auto _ : state) {
        VELTRA_HANDLE card = nullptr;
        bool good = VELTRA_Open(0, &card) == VELTRA_SUCCESS &&
                    VELTRA_EraseFlash(card, 0, 0, 0, kFlashSize) == VELTRA_SUCCESS &&
                    VELTRA_WriteFlash(card, 0, 0, 0, kFlashSize, data.data()) == VELTRA_SUCCESS &&
                    VELTRA_SyncFlash(card, 0, 0) == VELTRA_SUCCESS &&
                    VELTRA_ReadFlash(card, 0, 0, 0, kFlashSize, back.data()) == VELTRA_SUCCESS;
        good = good && std::memcmp(back.data(), data.data(), kFlashSize) == 0;
        good = VELTRA_Close(card) == VELTRA_SUCCESS && good;
        if (!good)
            state.SkipWithError("flash calls failed");
    }
    state.SetBytesProcessed(state.iterations() * kFlashSize);
}

void FlashToolWrite(benchmark::State& state) {
    for (auto _ : state)
        runTool(state, {"veltra", "flash", "write", "-c", "0", "--yes", "--file", kImage});
    state.SetBytesProcessed(state.iterations() * kFlashSize);
}

// What the lock and the recovery file add to `flash write` of the whole
// chip: the same steps on the same shared machine, the data in memory. Take
// the card's lock, hash the data (SHA-256), write the recovery file and the
// card's note, then end the update: the note first, then the file.
void FlashLockAndRecovery(benchmark::State& state) {
    const std::vector<uint8_t> data = image();
    const tool::Card card(0);
    for (auto _ : state) {
        const tool::CardLock lock(card, false);
        const tool::CardPlace& place = lock.place();
        tool::Recovery plan;
        plan.serial = card.serial();
        plan.eraseEnd = plan.length = data.size();
        plan.input = tool::absolutePath(kImage);
        plan.data = tool::sha256(data);
        plan.generation = place.note().generation + 1;
        const std::string file = tool::recoveryPath(kImage, place.key(), place.recoveryFolder());
        const std::vector<uint8_t> bytes = tool::encodeRecovery(plan);
        tool::replaceFile(file, bytes.data(), bytes.size(), tool::ReplacingFile::Access::Owner);
        tool::UpdateNote note;
        note.generation = plan.generation;
        note.state = tool::UpdateNote::State::Pending;
        note.eraseEnd = plan.eraseEnd;
        note.recoveryFile = file;
        note.recoverySize = bytes.size();
        note.recoveryDigest = tool::sha256(bytes);
        place.writeNote(note);
        note.state = tool::UpdateNote::State::Finished;
        place.writeNote(note);
        std::remove(file.c_str());
    }
    state.SetBytesProcessed(state.iterations() * kFlashSize);
}

// Open the card, load the file, check the part, configure, close: what
// `program` does.
void ProgramLibraryCalls(benchmark::State& state) {
    for (auto _ : state) {
        VELTRA_HANDLE card = nullptr;
        VELTRA_BITSTREAMA* bitstream = nullptr;
        VELTRA_FPGA_INFOA fpga;
        bool good = VELTRA_Open(0, &card) == VELTRA_SUCCESS &&
                    VELTRA_LoadBitstreamA(kDesign, &bitstream) == VELTRA_SUCCESS &&
                    VELTRA_GetFpgaInfoA(card, 0, &fpga) == VELTRA_SUCCESS &&
                    std::strcmp(fpga.name, bitstream->fpgaName) == 0 &&
                    VELTRA_ConfigureFromBuffer(card, 0, 0, bitstream->data, bitstream->length) ==
                        VELTRA_SUCCESS;
        VELTRA_UnloadBitstreamA(bitstream);
        good = VELTRA_Close(card) == VELTRA_SUCCESS && good;
        if (!good)
            state.SkipWithError("program calls failed");
    }
    state.SetBytesProcessed(state.iterations() * kFlashSize);
}

void ProgramTool(benchmark::State& state) {
    for (auto _ : state)
        runTool(state, {"veltra", "program", "-c", "0", kDesign});
    state.SetBytesProcessed(state.iterations() * kFlashSize);
}

// A command that makes two small requests: what parsing the command line and
// opening the card cost.
void ToolFixedCost(benchmark::State& state) {
    for (auto _ : state)
        runTool(state, {"veltra", "clock", "get", "-c", "0", "--clock", "0"});
}

// Parsing the command line alone.
void ToolParseOnly(benchmark::State& state) {
    for (auto _ : state)
        runTool(state, {"veltra", "--version"});
}

}  // namespace

BENCHMARK(ToolParseOnly)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ToolFixedCost)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(FlashLibraryCalls)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(FlashToolWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(FlashLockAndRecovery)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(ProgramLibraryCalls)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(ProgramTool)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

int main(int argc, char** argv) {
    // VELTRA_SIM_STATE=private measures the tool without the lock and the
    // recovery file, which a machine private to the process does not need.
    const std::string state = std::filesystem::absolute("bench_tool_state").string();
    setenv("VELTRA_SIM_STATE", state.c_str(), 0);
    const std::vector<uint8_t> data = image();
    if (!bitstream::Writer::writeFile(kImage, data) ||
        !bitstream::Writer::standard("7vx690tffg1157", bitstream::configurationData(kFlashSize))
             .writeTo(kDesign)) {
        std::fprintf(stderr, "cannot write the benchmark's files\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::remove(kImage);
    std::remove(kDesign);
    std::filesystem::remove_all(state);
    return 0;
}
