#include "platform/linux/desktop_entry.hpp"

namespace kelvora::platform::linux_desktop {

namespace {

bool valid_utf8_without_controls(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x20 || b == 0x7F) return false;
        const int len = b < 0x80         ? 1
                        : (b >> 5) == 6  ? 2
                        : (b >> 4) == 14 ? 3
                        : (b >> 3) == 30 ? 4
                                         : 0;
        if (len == 0 || i + len > s.size()) return false;
        for (int k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
        i += len;
    }
    return true;
}

// A key-file string value: backslash is the only character of a path that needs it once
// control characters are refused.
std::string key_file_string(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

} // namespace

std::optional<std::string> exec_argument(const std::string& arg) {
    if (!valid_utf8_without_controls(arg)) return std::nullopt;
    // The characters that make an argument need quotes, by the Desktop Entry rules.
    const bool plain =
        !arg.empty() && arg.find_first_of(" \t\"'\\><~|&;$*?#()`") == std::string::npos;
    std::string out = plain ? "" : "\"";
    for (char c : arg) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out.push_back('\\');
        if (c == '%') out.push_back('%');
        out.push_back(c);
    }
    if (!plain) out.push_back('"');
    return key_file_string(out);
}

std::optional<std::string> desktop_entry(const Entry& e) {
    auto exec = exec_argument(e.program);
    if (!exec) return std::nullopt;
    for (const auto& a : e.args) {
        auto q = exec_argument(a);
        if (!q) return std::nullopt;
        *exec += " " + *q;
    }
    if (!valid_utf8_without_controls(e.folder)) return std::nullopt;
    std::string out = "[Desktop Entry]\n"
                      "Type=Application\n"
                      "Version=1.4\n"
                      "Name=Kelvora\n"
                      "GenericName=Soporte remoto\n"
                      "GenericName[en]=Remote support\n";
    out += "Comment=" + key_file_string(e.description) + "\n";
    out += "Exec=" + *exec + "\n";
    if (!e.folder.empty()) out += "Path=" + key_file_string(e.folder) + "\n";
    out += "Icon=kelvora\n"
           "Terminal=false\n"
           "Categories=Network;RemoteAccess;\n"
           "StartupNotify=false\n";
    if (e.autostart) out += "X-GNOME-Autostart-enabled=true\n";
    return out;
}

std::optional<std::string> desktop_folder(const std::string& user_dirs_text,
                                          const std::string& home) {
    std::string found;
    std::size_t pos = 0;
    while (pos < user_dirs_text.size()) {
        std::size_t end = user_dirs_text.find('\n', pos);
        if (end == std::string::npos) end = user_dirs_text.size();
        std::string line = user_dirs_text.substr(pos, end - pos);
        pos = end + 1;
        const std::string key = "XDG_DESKTOP_DIR=\"";
        if (!line.starts_with(key) || !line.ends_with("\"") || line.size() < key.size() + 1)
            continue;
        std::string value = line.substr(key.size(), line.size() - key.size() - 1);
        // The file's own escapes: \" \\ \$ \`.
        std::string unescaped;
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size()) ++i;
            unescaped.push_back(value[i]);
        }
        if (unescaped.starts_with("$HOME/") || unescaped == "$HOME")
            found = home + unescaped.substr(5);
        else if (unescaped.starts_with("/"))
            found = unescaped;
        // The last valid line wins, as when the shell sources the file.
    }
    if (found.empty()) return home + "/Desktop";
    while (found.size() > 1 && found.back() == '/')
        found.pop_back();
    if (found == home) return std::nullopt;
    return found;
}

} // namespace kelvora::platform::linux_desktop
