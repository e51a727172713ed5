// veltra: the command-line tool of the package.

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "wide.h"
#endif

namespace tool {
int run(int argc, char** argv);
}

int main(int argc, char** argv) {
#if defined(_WIN32)
    // The command line as the system keeps it, in UTF-16, so that any file
    // name comes through (the ANSI argv has only the code page's); the tool
    // works in UTF-8.
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide != nullptr) {
        std::vector<std::string> words;
        for (int i = 0; i < count; ++i)
            words.push_back(tool::narrow(wide[i]));
        LocalFree(wide);
        std::vector<char*> pointers;
        for (std::string& word : words)
            pointers.push_back(word.data());
        pointers.push_back(nullptr);
        return tool::run(count, pointers.data());
    }
#endif
    return tool::run(argc, argv);
}
