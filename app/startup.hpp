#pragma once
#include <string>
#include <vector>

namespace kelvora {

// The program: args are the command-line arguments after the program name. Returns the
// process exit code when it ends by itself (the exit sequences end the process directly).
int kelvora_main(const std::vector<std::string>& args);

} // namespace kelvora
