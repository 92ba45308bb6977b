#include "update/system_package.hpp"

#include <iterator>

namespace kelvora::update {

bool managed_by_system(const std::filesystem::path& program, platform::Os os) {
    if (os != platform::Os::linux_x11 || !program.is_absolute()) return false;
    const std::filesystem::path normal = program.lexically_normal();
    // Its elements: "/", the top folder, the next one, ... the file's name.
    auto part = normal.begin();
    const auto end = normal.end();
    if (++part == end || *part != "usr") return false;
    return ++part != end && *part != "local" && std::next(part) != end;
}

} // namespace kelvora::update
