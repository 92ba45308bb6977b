#include "platform/powershell.hpp"

namespace kelvora::platform {

namespace {

constexpr const char* kFolders = "foreach($d in @([Environment]::GetFolderPath('Desktop'),"
                                 "[Environment]::GetFolderPath('Programs'))){";

} // namespace

std::string powershell_quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out.push_back('\'');
        out.push_back(c);
    }
    out.push_back('\'');
    return out;
}

std::string shortcut_script(const std::string& program, const std::string& folder,
                            const std::string& description) {
    return std::string("$w=New-Object -ComObject WScript.Shell;") + kFolders +
           "$l=$w.CreateShortcut((Join-Path $d 'Kelvora.lnk'));$l.TargetPath=" +
           powershell_quote(program) + ";$l.WorkingDirectory=" + powershell_quote(folder) +
           ";$l.IconLocation=" + powershell_quote(program + ",0") +
           ";$l.Description=" + powershell_quote(description) + ";$l.Save()}";
}

std::string remove_shortcuts_script() {
    return std::string(kFolders) +
           "Remove-Item -LiteralPath (Join-Path $d 'Kelvora.lnk') -ErrorAction SilentlyContinue}";
}

} // namespace kelvora::platform
