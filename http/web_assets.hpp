#pragma once
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

} // namespace kelvora::http
