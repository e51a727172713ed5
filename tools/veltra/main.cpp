// veltra: the command-line tool of the package.
#include <veltra.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* nameOf(VELTRA_STATUS status) {
    return VELTRA_GetStatusStringA(status, 1);
}

// Opens cards by index until one is not found, and closes them again.
int listCards() {
    for (uint32_t index = 0;; ++index) {
        VELTRA_HANDLE card = nullptr;
        const VELTRA_STATUS status = VELTRA_Open(index, &card);
        std::printf("VELTRA_Open(%u): %s - %s\n", index, nameOf(status),
                    VELTRA_GetStatusStringA(status, 0));
        if (status != VELTRA_SUCCESS)
            return index > 0 ? 0 : 1;
        const VELTRA_STATUS closed = VELTRA_Close(card);
        std::printf("VELTRA_Close(card %u): %s\n", index, nameOf(closed));
    }
}

int demo() {
    std::printf("== Cards ==\n");
    return listCards();
}

void usage() {
    std::printf(
        "usage: veltra COMMAND\n"
        "  demo    show the cards and what the package does with them\n"
        "  list    open and close each card\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage();
        return 2;
    }
    const std::string command = argv[1];
    if (command == "demo")
        return demo();
    if (command == "list")
        return listCards();
    usage();
    return 2;
}
