// Which copies of the program belong to the system's package manager, which then owns
// their updates.
#include <gtest/gtest.h>

#include "update/system_package.hpp"

namespace kelvora::update {
namespace {

TEST(UpdateSystemPackage, OnlyLinuxCopiesUnderUsrButNotUsrLocal) {
    using platform::Os;
    const struct {
        const char* path;
        Os os;
        bool managed;
    } cases[] = {
        {"/usr/bin/kelvora", Os::linux_x11, true},
        {"/usr/lib/kelvora/kelvora", Os::linux_x11, true},
        {"/usr/./bin/../bin/kelvora", Os::linux_x11, true},
        {"/usr/local/bin/kelvora", Os::linux_x11, false},
        {"/usr/local/../bin/kelvora", Os::linux_x11, true},
        {"/usr/kelvora", Os::linux_x11, false}, // no package puts a program there
        {"/usr", Os::linux_x11, false},
        {"/home/ana/Descargas/kelvora", Os::linux_x11, false},
        {"/opt/kelvora/kelvora", Os::linux_x11, false},
        {"/usrx/bin/kelvora", Os::linux_x11, false},
        {"usr/bin/kelvora", Os::linux_x11, false},
        {"/usr/bin/kelvora", Os::windows, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(managed_by_system(c.path, c.os), c.managed) << c.path;
}

} // namespace
} // namespace kelvora::update
