#pragma once
// The signed manifest of the update channel: its address rules, its checks in their fixed
// order, the text its signature covers, and version numbers.
#include <cstdint>
#include <string>
#include <string_view>

#include "base/json_file.hpp"

namespace kelvora::update {

inline constexpr std::size_t kManifestLimit = 4'000'000;
inline constexpr std::uint64_t kMaxPackageSize = 200'000'000;

// The manifest address in use: the setting when it is https, or plain http on loopback
// (a local test channel); else the maker's.
std::string channel_address(std::string_view setting);
// Where the manifest and the package may come from: https, or plain http on loopback when
// the channel itself is such a local one.
bool allowed_address(std::string_view url, std::string_view channel);

// The text the publisher signs: compact JSON, members in byte order at every level,
// escapes only where JSON needs them.
std::string signed_text(const json& manifest);

// "a.b.c", each part decimal digits that fit in 32 bits.
bool is_release_version(const json& v);
// Part by part from the left; with equal common parts the longer one is newer.
bool newer_version(std::string_view candidate, std::string_view current);

struct ManifestCheck {
    json manifest;     // the accepted `manifest` member
    std::string error; // empty when accepted
};
// Checks a fetched manifest document against the built-in key (hexadecimal), in order:
// shape, signature length, key, signature, app, version, size and hash, package address.
ManifestCheck accept_manifest(std::string_view body, std::string_view public_key_hex,
                              std::string_view channel);

// Freshness against what earlier checks accepted (actualizacion.json): a manifest whose
// signed `published` time (seconds since 1970 UTC) is older than the last accepted one, or
// whose version is lower than the highest one seen, is a replay and is refused. Manifests
// without `published` pass that part. Empty when fresh, else the message.
std::string freshness_error(const json& manifest, const json& record);
// The record's members after accepting manifest: `publicado` and `version_vista`, never
// moving back.
json freshness_record(const json& manifest, const json& record);

} // namespace kelvora::update
