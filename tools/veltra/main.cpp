// veltra: the command-line tool of the package.
#include "tool.h"

int main(int argc, char** argv) {
    return tool::run(argc, argv);
}
