#pragma once
// The two things a publisher does with a built version: release it into the published
// folder, and check a published folder as the programs out there will.
#include <filesystem>
#include <functional>
#include <map>
#include <string>

namespace kelvora::publish {

// One line for the publisher at a time.
using Say = std::function<void(const std::string&)>;

struct ReleaseRequest {
    std::filesystem::path key_folder;
    std::string version;
    std::filesystem::path notes;
    std::map<std::string, std::filesystem::path> programs; // by channel name
    std::filesystem::path out;
    std::string base_url; // where out is served; "https://…/"
};

// Refuses a version not newer than the one out already publishes, programs that are
// another version or trust another key, and notes without this version; then writes every
// channel's package and signed manifest, checked first as the updater checks them.
// Empty on success, else why nothing (or, on a write error, not everything) was written.
std::string make_release(const ReleaseRequest& r, const Say& say);

// Every channel of out, with public_key_hex (64 hexadecimal characters).
std::string verify_folder(const std::filesystem::path& out, const std::string& public_key_hex,
                          const Say& say);

} // namespace kelvora::publish
