// Which owners and access lists leave a file or folder to the administrators alone. The
// lists are those Windows gives ProgramData, Program Files, a user's own folders, and
// what a user can make in ProgramData before we do.
#include <gtest/gtest.h>

#include "platform/access_list.hpp"

namespace kelvora::platform {
namespace {

using T = Trustee;
using K = AccessEntry::Kind;

constexpr std::uint32_t kFull = 0x1F01FF;        // FILE_ALL_ACCESS
constexpr std::uint32_t kReadExecute = 0x1200A9; // FILE_GENERIC_READ | FILE_EXECUTE
constexpr std::uint32_t kAddFolder = 0x4;        // FILE_ADD_SUBDIRECTORY
constexpr std::uint32_t kAddFile = 0x2;          // FILE_ADD_FILE
constexpr std::uint32_t kWriteDac = 0x40000;
constexpr std::uint32_t kDelete = 0x10000;
constexpr std::uint32_t kGenericAll = 0x10000000;
constexpr std::uint32_t kGenericRead = 0x80000000;

TEST(AccessList, OnlyPrivilegedWrite) {
    const std::vector<AccessEntry> admin_only = {{K::allow, T::privileged, kFull},
                                                 {K::allow, T::privileged, kFull}};
    const struct {
        const char* what;
        ObjectAccess access;
        bool only_privileged;
    } cases[] = {
        {"made by us: system and administrators", {T::privileged, true, admin_only}, true},
        {"users may read",
         {T::privileged,
          true,
          {{K::allow, T::privileged, kFull}, {K::allow, T::other, kReadExecute}}},
         true},
        {"Program Files: creator-owner full on what is made inside",
         {T::privileged,
          true,
          {{K::allow, T::privileged, kFull},
           {K::allow, T::creator_owner, kGenericAll},
           {K::allow, T::other, kReadExecute | kGenericRead}}},
         true},
        {"a deny entry for a user changes nothing",
         {T::privileged, true, {{K::deny, T::other, kFull}, {K::allow, T::privileged, kFull}}},
         true},
        {"no list: everyone may do anything", {T::privileged, false, {}}, false},
        {"an empty list: nobody may", {T::privileged, true, {}}, true},
        {"owned by the user, who may always re-permission it", {T::other, true, admin_only}, false},
        // ProgramData's own list, inherited by a folder made without a list of its own.
        {"users may add folders",
         {T::privileged,
          true,
          {{K::allow, T::privileged, kFull}, {K::allow, T::other, kAddFolder}}},
         false},
        {"users may add files", {T::privileged, true, {{K::allow, T::other, kAddFile}}}, false},
        {"users may delete it", {T::privileged, true, {{K::allow, T::other, kDelete}}}, false},
        {"users may change its permissions",
         {T::privileged, true, {{K::allow, T::other, kWriteDac}}},
         false},
        {"generic all to the user",
         {T::privileged, true, {{K::allow, T::other, kGenericAll}}},
         false},
        {"a kind of entry the reader doesn't know",
         {T::privileged, true, {{K::unknown, T::privileged, 0}}},
         false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(only_privileged_write(c.access), c.only_privileged) << c.what;
}

} // namespace
} // namespace kelvora::platform
