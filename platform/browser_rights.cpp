#include "platform/browser_rights.hpp"

namespace kelvora::platform {

BrowserChoice choose_browser_way(const BrowserFacts& facts) {
    if (!facts.elevated) return {BrowserWay::as_is, {}};
    if (!facts.shell_found) return {BrowserWay::admin_profile, "no hay escritorio del usuario"};
    if (!facts.same_user)
        return {BrowserWay::admin_profile, "el escritorio es de otra cuenta de usuario"};
    if (facts.user_start_failed)
        return {BrowserWay::admin_profile, "no se pudo abrir con los permisos del usuario"};
    return {BrowserWay::user_token, {}};
}

namespace {

std::optional<std::size_t> profile_switch(const std::vector<std::string>& args) {
    std::optional<std::size_t> found;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (!args[i].starts_with(kProfileSwitch)) continue;
        if (found) return std::nullopt;
        found = i;
    }
    return found;
}

} // namespace

std::optional<std::vector<std::string>> with_profile_folder(std::vector<std::string> args,
                                                            const std::string& folder) {
    const auto i = profile_switch(args);
    if (!i) return std::nullopt;
    args[*i] = kProfileSwitch + folder;
    return args;
}

std::optional<std::string> profile_folder(const std::vector<std::string>& args) {
    const auto i = profile_switch(args);
    if (!i) return std::nullopt;
    auto folder = args[*i].substr(std::char_traits<char>::length(kProfileSwitch));
    if (folder.empty()) return std::nullopt;
    return folder;
}

} // namespace kelvora::platform
