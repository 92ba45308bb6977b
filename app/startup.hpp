#pragma once
#include <string>
#include <vector>

#include "update/update_state.hpp"

namespace kelvora {

// The program: args are the command-line arguments after the program name. Returns the
// process exit code when it ends by itself (the exit sequences end the process directly).
int kelvora_main(const std::vector<std::string>& args);
// The same for a build that answers to another version and update key (a test build).
int kelvora_main(const std::vector<std::string>& args, const update::Trust& trust);

} // namespace kelvora
