// veltra: the command-line tool of the package.

namespace tool {
int run(int argc, char** argv);
}

int main(int argc, char** argv) {
    return tool::run(argc, argv);
}
