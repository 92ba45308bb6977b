#pragma once

namespace kelvora::update {

// The publisher's Ed25519 public key: every manifest on the update channel must be signed
// with its private half, which never leaves the publisher.
inline constexpr const char* kUpdatePublicKey =
    "956605b0ef63edbb17a0e64ece9a30fad024d085ea7acbe212676d32cb22da81";

} // namespace kelvora::update
