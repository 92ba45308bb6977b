#pragma once

namespace kelvora {

inline constexpr const char* kVersion = "1.3.2";
inline constexpr const char* kBuildDate = "2026-11-04";
inline constexpr const char* kAppName = "kelvora";

// The maker's signalling service and web page; a deployment overrides the first with
// TRV_SERVER or the `servidor` setting.
inline constexpr const char* kDefaultServer = "https://senal.kelvora.app";
inline constexpr const char* kProductSite = "https://kelvora.app/";

} // namespace kelvora
