#pragma once
// The update channels a release publishes, one per program: where each one's manifest and
// package lie in the published folder (the folder is served as it is, at the base address).
#include <string>
#include <vector>

#include "update/package.hpp"

namespace kelvora::publish {

struct Channel {
    std::string name; // as messages name it
    update::ProgramKind kind;
    std::string package_prefix, package_suffix;

    // The package's file name for version, e.g. "Kelvora-1.3.2-windows.zip".
    std::string package_name(const std::string& version) const;
    // Below the published folder and the base address: "version.json" or
    // "linux/version.json".
    std::string manifest_path() const;
};

// Windows first: its manifest lies at the top.
const std::vector<Channel>& channels();

} // namespace kelvora::publish
