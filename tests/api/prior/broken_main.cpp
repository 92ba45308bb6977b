// kelvora-rota: a release that passes the test run (it names its version) but ends at once
// when started for real, as a build missing a library or crashing at start would.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("Kelvora 1.3.2 (rota)\n");
        return 0;
    }
    return 3;
}
