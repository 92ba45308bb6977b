#pragma once
// Downloads into memory with a size limit, as the manifest and the package need.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kelvora::update {

struct Fetched {
    std::string body;
    std::string error; // empty on success
};

// Called after each block with every byte so far and the reply's Content-Length (0: none).
// With a progress, the body's room for the whole limit is taken at the start, so what a
// call saw stays where it is while the rest arrives (another thread may read it).
using Progress = std::function<void(std::string_view so_far, std::uint64_t content_length)>;

// GET url as "Kelvora/<version>"; more than limit bytes ends it at once.
Fetched fetch(const std::string& url, std::uint64_t limit, const std::string& version,
              const Progress& progress = {});

} // namespace kelvora::update
