// libFuzzer target: the installer's command-line rules on any UTF-16 text
// (the input's bytes taken two at a time). Nothing may fail, and every
// outcome must be one the program knows.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string text(size / 2, u'\0');
    std::memcpy(text.data(), data, text.size() * 2);
    const auto parsed = setup::parseCommandLine(std::u16string_view(text));
    const int code = parsed.exitCode();
    if (code != -1 && code != 0 && code != 6)
        std::abort();
    const auto folder = setup::programFolder(std::u16string_view(text));
    const auto inf = setup::infPathOf(parsed, folder);
    const auto difx = setup::difxApiPathOf(folder);
    if (parsed.haveInfPath ? inf != parsed.infPath : inf.size() != folder.size() + 10)
        std::abort();
    if (difx.size() != folder.size() + 19)
        std::abort();
    return 0;
}
