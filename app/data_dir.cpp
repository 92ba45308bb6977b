#include "app/data_dir.hpp"

#include "app/text.hpp"
#include "platform/process.hpp"

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
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return dir;
}

} // namespace kelvora
