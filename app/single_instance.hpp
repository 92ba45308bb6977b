#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>

#include "base/json_file.hpp"

namespace kelvora {

// The port a running copy wrote into instancia.json; nothing when the file is missing,
// broken, or its port isn't a 16-bit non-negative integer.
std::optional<std::uint16_t> instance_port(const std::optional<json>& instance_file);

// Asks the server on 127.0.0.1:port to raise its window. True when it answered
// "200 OK": a running copy serves this user and this one should end.
bool running_copy_answered(std::uint16_t port);

} // namespace kelvora
