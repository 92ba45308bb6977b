#pragma once
// Whether a file or folder can be changed only by the accounts that may change anything on
// the PC anyway. The rule is plain data over a Windows security descriptor, read by the
// backend, so it is tested on every build.
#include <cstdint>
#include <vector>

namespace kelvora::platform {

// Who an owner or an entry names, as far as the rule cares.
enum class Trustee {
    privileged,    // the administrators, the system, the services (TrustedInstaller)
    creator_owner, // the placeholder a child's creator takes the place of
    other,         // anyone else: the user, Users, Everyone, Authenticated Users ...
};

struct AccessEntry {
    enum class Kind { allow, deny, unknown };
    Kind kind = Kind::allow;
    Trustee who = Trustee::other;
    std::uint32_t mask = 0; // ACCESS_MASK
};

struct ObjectAccess {
    Trustee owner = Trustee::other;
    bool has_list = false; // no list at all lets everyone do everything
    std::vector<AccessEntry> entries;
};

// True when nobody but the privileged accounts may write, delete, replace or re-permission
// the object, nor what is later created inside it: its owner is privileged and no entry
// grants a writing right to anyone else. A creator-owner entry counts as privileged, since
// only those who may write the folder create anything in it. Denying entries are not
// weighed (at worst a safe object counts as unsafe); an entry of a kind the reader doesn't
// know counts as granting everything to someone else.
bool only_privileged_write(const ObjectAccess& access);

} // namespace kelvora::platform
