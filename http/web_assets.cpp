#include "http/web_assets.hpp"

namespace kelvora::http {

std::string_view find_web_asset(std::string_view name) {
    for (const auto& a : web_assets())
        if (a.name == name) return a.data;
    return {};
}

} // namespace kelvora::http
