#include "platform/access_list.hpp"

namespace kelvora::platform {

namespace {

// FILE_WRITE_DATA, FILE_APPEND_DATA, FILE_WRITE_EA, FILE_DELETE_CHILD, FILE_WRITE_ATTRIBUTES,
// DELETE, WRITE_DAC, WRITE_OWNER, MAXIMUM_ALLOWED, GENERIC_ALL and GENERIC_WRITE: for a
// folder, the first two are also adding a file and adding a subfolder.
constexpr std::uint32_t kWriting = 0x2 | 0x4 | 0x10 | 0x40 | 0x100 | 0x10000 | 0x40000 | 0x80000 |
                                   0x2000000 | 0x10000000 | 0x40000000;

bool grants_writing_to_others(const AccessEntry& e) {
    switch (e.kind) {
    case AccessEntry::Kind::deny:
        return false;
    case AccessEntry::Kind::unknown:
        return true;
    case AccessEntry::Kind::allow:
        break;
    }
    if ((e.mask & kWriting) == 0) return false;
    if (e.who == Trustee::privileged) return false;
    // On the object itself the placeholder grants nothing; on what is created inside, it
    // grants the creator, who could write the folder in the first place.
    return e.who != Trustee::creator_owner;
}

} // namespace

bool only_privileged_write(const ObjectAccess& access) {
    if (access.owner != Trustee::privileged || !access.has_list) return false;
    for (const auto& e : access.entries)
        if (grants_writing_to_others(e)) return false;
    return true;
}

} // namespace kelvora::platform
