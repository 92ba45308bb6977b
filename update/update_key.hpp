#pragma once
// The key a program trusts for its updates, and the record that carries it in the program
// file, where the publishing tool reads it back without running the program.
#include <array>
#include <cstddef>
#include <string_view>

#include "base/version.hpp"

namespace kelvora::update {

// The publisher's Ed25519 public key as 64 hexadecimal characters: every manifest on the
// update channel must be signed with its private half, which never leaves the publisher.
// The build chooses it (KELVORA_UPDATE_KEY); it points into kBuildRecord.
extern const char* const kUpdatePublicKey;

// "kelvora-build version=<version> update-key=<key>" and a zero byte, one array in the
// program's read-only data.
inline constexpr std::string_view kBuildRecordStart = "kelvora-build version=";
inline constexpr std::string_view kBuildRecordKey = " update-key=";
inline constexpr std::size_t kUpdateKeyHexSize = 64;
inline constexpr std::size_t kBuildRecordSize = kBuildRecordStart.size() +
                                                std::string_view(kVersion).size() +
                                                kBuildRecordKey.size() + kUpdateKeyHexSize + 1;
using BuildRecord = std::array<char, kBuildRecordSize>;

// The record of this version with key; a key that is not 64 lower-case hexadecimal
// characters stops the compilation.
consteval BuildRecord make_build_record(std::string_view key) {
    if (key.size() != kUpdateKeyHexSize ||
        key.find_first_not_of("0123456789abcdef") != std::string_view::npos)
        throw "the update key must be 64 lower-case hexadecimal characters";
    BuildRecord r{};
    std::size_t n = 0;
    for (std::string_view part : {kBuildRecordStart, std::string_view(kVersion), kBuildRecordKey, key})
        for (char c : part) r[n++] = c;
    return r;
}

inline constexpr std::size_t kBuildRecordKeyOffset = kBuildRecordSize - 1 - kUpdateKeyHexSize;

} // namespace kelvora::update
