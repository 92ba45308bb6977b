#pragma once
#include <filesystem>

namespace kelvora {

// The data directory, created (with its parents) when missing. Computed afresh on every
// call so a changed environment is honoured; a failure to create shows up at the next
// file operation.
std::filesystem::path data_directory();

} // namespace kelvora
