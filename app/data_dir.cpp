#include "app/data_dir.hpp"

#include "base/text.hpp"
#include "platform/process.hpp"
#include "platform/system.hpp"

namespace kelvora {

std::filesystem::path data_directory() {
    std::filesystem::path root;
    if (auto lad = platform::env("LOCALAPPDATA"))
        root = u8path(*lad);
    else if (auto home = platform::user_data_home())
        root = u8path(*home);
    else
        root = ".";
    auto dir = root / "Kelvora" / "data";
    // It holds the identity key in clear: no other user of the PC may read it.
    platform::make_private_directory(dir);
    return dir;
}

} // namespace kelvora
