#include "http/web_assets.hpp"

namespace kelvora::http {

namespace {

struct Extension {
    std::string_view suffix;
    const char* type;
};

constexpr Extension kStaticTypes[] = {
    {".js", "text/javascript; charset=utf-8"},
    {".svg", "image/svg+xml"},
    {".woff2", "font/woff2"},
};

} // namespace

std::string_view find_web_asset(std::string_view name) {
    for (const auto& a : web_assets())
        if (a.name == name) return a.data;
    return {};
}

std::optional<StaticAsset> find_static_asset(std::string_view path) {
    if (path.size() < 2 || path.front() != '/') return std::nullopt;
    const std::string_view name = path.substr(1);
    for (const auto& ext : kStaticTypes) {
        if (!name.ends_with(ext.suffix)) continue;
        const auto data = find_web_asset(name);
        if (data.empty()) return std::nullopt;
        return StaticAsset{data, ext.type};
    }
    return std::nullopt;
}

} // namespace kelvora::http
