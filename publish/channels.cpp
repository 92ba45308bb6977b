#include "publish/channels.hpp"

namespace kelvora::publish {

std::string Channel::package_name(const std::string& version) const {
    return package_prefix + version + package_suffix;
}

std::string Channel::manifest_path() const {
    return kind.channel_folder + "version.json";
}

const std::vector<Channel>& channels() {
    // Each program's updater looks for its own entry name and first bytes, in its own
    // folder below the update address.
    static const std::vector<Channel> all{
        {"windows", update::windows_program_kind(), "Kelvora-", "-windows.zip"},
        {"linux", update::linux_program_kind(), "kelvora-", "-linux.zip"},
    };
    return all;
}

} // namespace kelvora::publish
