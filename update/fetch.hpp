#pragma once
// Downloads into memory with a size limit, as the manifest and the package need.
#include <cstdint>
#include <functional>
#include <string>

namespace kelvora::update {

struct Fetched {
    std::string body;
    std::string error; // empty on success
};

// Called after each block with the bytes so far and the reply's Content-Length (0: none).
using Progress = std::function<void(std::uint64_t received, std::uint64_t content_length)>;

// GET url as "Kelvora/<version>"; more than limit bytes ends it at once.
Fetched fetch(const std::string& url, std::uint64_t limit, const std::string& version,
              const Progress& progress = {});

} // namespace kelvora::update
