#pragma once
#include <optional>
#include <string_view>
#include <vector>

namespace kelvora::http {

// One file of web/ compiled into the executable, named by its path below web/.
struct WebAsset {
    std::string_view name;
    std::string_view data;
};

const std::vector<WebAsset>& web_assets();
// Empty when there is no such file.
std::string_view find_web_asset(std::string_view name);

// A file the page loads as it is, with its content type.
struct StaticAsset {
    std::string_view data;
    const char* type;
};

// The embedded file a request path names ("/net/peer.js" → "net/peer.js"), chosen by its
// extension: scripts, images and fonts only. Pages are templates and are never served
// raw; nothing outside web/ was ever embedded.
std::optional<StaticAsset> find_static_asset(std::string_view path);

} // namespace kelvora::http
