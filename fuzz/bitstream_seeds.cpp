// Writes the seed corpus of the bitstream fuzzer: standard files and the
// shapes that exercise the header walk (long preambles, unknown tags, a
// part name across the first window fill, repeated and missing fields, cut
// files).
#include <string>
#include <vector>

#include "bitstream_writer.h"

int main(int argc, char** argv) {
    const std::string folder = argc > 1 ? argv[1] : ".";
    using bitstream::Writer;
    const auto data = bitstream::configurationData(256);
    std::vector<std::vector<uint8_t>> seeds = {
        Writer::standard("7vx690tffg1157", data).bytes(),
        Writer::standard("KU115FLVB2104", data).bytes(),
        Writer::standard("7vx690tffg1157", data).data(data, 0xFFFFFFFF).bytes(),
        Writer::standard("7vx690tffg1157", {}).bytes(),
        Writer().preamble(std::vector<uint8_t>(1500, 0xF0)).part("7a100tcsg324").data(data).bytes(),
        Writer().field('z', std::vector<uint8_t>(2000, 1)).part("7z020clg484").data(data).bytes(),
        Writer()
            .field('a', std::vector<uint8_t>(1000, 'n'))
            .part("7k160tfbg676")
            .data(data)
            .bytes(),
        Writer().part("a").part("b").design("d").time("t").date("c").part("c").data(data).bytes(),
        Writer().design("no part").data(data).bytes(),
        Writer().field('b', std::vector<uint8_t>(31, 'p')).data(data).bytes(),
        {},
    };
    const auto whole = seeds[0];
    for (size_t cut : {1u, 2u, 11u, 13u, 40u, 90u})
        seeds.emplace_back(whole.begin(), whole.begin() + cut);
    for (size_t i = 0; i < seeds.size(); ++i)
        if (!Writer::writeFile(folder + "/seed_" + std::to_string(i) + ".bit", seeds[i]))
            return 1;
    return 0;
}
