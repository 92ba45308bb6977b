// The texts behind the shortcuts: desktop entries on Linux, PowerShell on Windows.
#include <gtest/gtest.h>

#include "platform/linux/desktop_entry.hpp"
#include "platform/powershell.hpp"

namespace kelvora::platform {
namespace {

TEST(DesktopEntry, ExecArgumentQuoting) {
    const struct {
        const char* arg;
        std::optional<std::string> exec;
    } cases[] = {
        {"/opt/kelvora/kelvora", "/opt/kelvora/kelvora"},
        {"--startup", "--startup"},
        {"/home/ana/mis programas/kelvora", "\"/home/ana/mis programas/kelvora\""},
        {"/home/ana/100%/kelvora", "/home/ana/100%%/kelvora"}, // a field code otherwise
        {"/home/ana/100% listo/kelvora", "\"/home/ana/100%% listo/kelvora\""},
        {"/home/o'hara/kelvora", "\"/home/o'hara/kelvora\""},
        {"/tmp/a\"b/kelvora", "\"/tmp/a\\\\\"b/kelvora\""}, // \" then \ doubled
        {"/tmp/$HOME/kelvora", "\"/tmp/\\\\$HOME/kelvora\""},
        {"/tmp/a`b`/kelvora", "\"/tmp/a\\\\`b\\\\`/kelvora\""},
        {"/tmp/back\\slash/kelvora", "\"/tmp/back\\\\\\\\slash/kelvora\""}, // \\ then each doubled
        {"/tmp/niño/kelvora", "/tmp/niño/kelvora"},
        {"", "\"\""},
        {"/tmp/line\nbreak/kelvora", std::nullopt},
        {"/tmp/tab\tkelvora", std::nullopt},
        {"/tmp/bad\xFF/kelvora", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(linux_desktop::exec_argument(c.arg), c.exec) << c.arg;
}

TEST(DesktopEntry, WholeFile) {
    const auto text = linux_desktop::desktop_entry({"/opt/mis apps/kelvora",
                                                    {"--startup"},
                                                    "/opt/mis apps",
                                                    "Kelvora · soporte remoto",
                                                    true});
    ASSERT_TRUE(text);
    EXPECT_TRUE(text->starts_with("[Desktop Entry]\nType=Application\n"));
    EXPECT_NE(text->find("\nExec=\"/opt/mis apps/kelvora\" --startup\n"), std::string::npos);
    EXPECT_NE(text->find("\nPath=/opt/mis apps\n"), std::string::npos);
    EXPECT_NE(text->find("\nX-GNOME-Autostart-enabled=true\n"), std::string::npos);
    EXPECT_FALSE(linux_desktop::desktop_entry({"/tmp/a\nb/kelvora", {}, "/tmp", "x", false}));
}

TEST(DesktopEntry, DesktopFolderLikeXdgUserDir) {
    const std::string home = "/home/ana";
    const struct {
        const char* user_dirs;
        std::optional<std::string> folder;
    } cases[] = {
        {"", "/home/ana/Desktop"},
        {"# comentario\nXDG_DOWNLOAD_DIR=\"$HOME/Descargas\"\n", "/home/ana/Desktop"},
        {"XDG_DESKTOP_DIR=\"$HOME/Escritorio\"\n", "/home/ana/Escritorio"},
        {"XDG_DESKTOP_DIR=\"/srv/escritorio/\"\n", "/srv/escritorio"},
        {"XDG_DESKTOP_DIR=\"$HOME/Mi \\\"escritorio\\\"\"", "/home/ana/Mi \"escritorio\""},
        {"XDG_DESKTOP_DIR=\"$HOME/Uno\"\nXDG_DESKTOP_DIR=\"$HOME/Dos\"\n", "/home/ana/Dos"},
        {"XDG_DESKTOP_DIR=\"relativo\"\n", "/home/ana/Desktop"},
        {"XDG_DESKTOP_DIR=\"$HOME/\"\n", std::nullopt}, // the user turned the Desktop off
        {"XDG_DESKTOP_DIR=\"$HOME\"\n", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(linux_desktop::desktop_folder(c.user_dirs, home), c.folder) << c.user_dirs;
}

TEST(PowerShell, ShortcutScript) {
    EXPECT_EQ(powershell_quote("C:\\Users\\O'Brien\\Kelvora.exe"),
              "'C:\\Users\\O''Brien\\Kelvora.exe'");
    EXPECT_EQ(powershell_quote("''"), "''''''");
    EXPECT_EQ(
        shortcut_script("C:\\Apps\\Kelvora's\\Kelvora.exe", "C:\\Apps\\Kelvora's",
                        "Kelvora · soporte remoto"),
        "$w=New-Object -ComObject WScript.Shell;foreach($d in @([Environment]::GetFolderPath("
        "'Desktop'),[Environment]::GetFolderPath('Programs'))){$l=$w.CreateShortcut((Join-Path "
        "$d 'Kelvora.lnk'));$l.TargetPath='C:\\Apps\\Kelvora''s\\Kelvora.exe';"
        "$l.WorkingDirectory='C:\\Apps\\Kelvora''s';$l.IconLocation='C:\\Apps\\Kelvora''s\\"
        "Kelvora.exe,0';$l.Description='Kelvora · soporte remoto';$l.Save()}");
    EXPECT_EQ(remove_shortcuts_script(),
              "foreach($d in @([Environment]::GetFolderPath('Desktop'),[Environment]::"
              "GetFolderPath('Programs'))){Remove-Item -LiteralPath (Join-Path $d 'Kelvora.lnk') "
              "-ErrorAction SilentlyContinue}");
}

} // namespace
} // namespace kelvora::platform
