#pragma once
// One published channel checked the way the program's updater checks it: the manifest's
// signature and fields, then the package's size, hash, entry and first bytes, and beyond
// the updater, that the program inside is the version it is announced as and trusts the
// key that signed it (else the release after this one could not be installed).
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/json_file.hpp"
#include "publish/channels.hpp"

namespace kelvora::publish {

struct ChannelCheck {
    json manifest;       // the accepted `manifest` member
    std::string summary; // one line for the publisher
    std::string error;   // empty when the channel passed
};

// The package's bytes by its file name (the last part of the manifest's `url`), read from
// the channel's folder; nothing when it isn't there.
using PackageReader = std::function<std::optional<std::string>(const std::string& file_name)>;

// The address of the manifest beside a package address.
std::string channel_address_of(std::string_view package_url);

// Only the manifest document: signature with public_key_hex and fields.
ChannelCheck check_manifest(const Channel& ch, std::string_view document,
                            const std::string& public_key_hex);

// The manifest document and the package it names.
ChannelCheck check_channel(const Channel& ch, std::string_view document,
                           const std::string& public_key_hex, const PackageReader& package);

} // namespace kelvora::publish
