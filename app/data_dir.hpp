#pragma once
#include <filesystem>

namespace kelvora {

// The data directory, created (with its parents) when missing and kept private to the
// user. Computed once at start-up; a failure to create shows up at the next file operation.
std::filesystem::path data_directory();

} // namespace kelvora
