#pragma once
// Sealing a short secret so that only the current user account can open it again.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvora::platform {

using Blob = std::vector<unsigned char>;

// The sealed form of clear; nothing when the OS (or the per-user key) is unavailable.
std::optional<Blob> protect_for_user(std::string_view clear);
// The clear text of a blob sealed by protect_for_user for this same account; nothing for
// a blob sealed elsewhere, a damaged one, or when the per-user key is unavailable.
std::optional<std::string> unprotect_for_user(const Blob& sealed);

// Forgets the per-user key for good, when it is a file of ours (Linux); what it sealed
// can't be opened any more. The uninstall's last word on the user's secrets.
void remove_user_key();

} // namespace kelvora::platform
