#include <string>
#include <vector>

#include "app/startup.hpp"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return kelvora::kelvora_main(args);
}
