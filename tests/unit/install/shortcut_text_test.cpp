// The texts behind the shortcuts and the start at logon: desktop entries on Linux, the
// Task Scheduler's XML on Windows.
#include <gtest/gtest.h>

#include "platform/linux/desktop_entry.hpp"
#include "platform/logon_task_xml.hpp"

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

TEST(LogonTaskXml, FieldsEscapedAndRefused) {
    const LogonTask base{"C:\\Apps\\Kelvora.exe", "--startup", "C:\\Apps", "Kelvora", "S-1-5-21-1"};
    const struct {
        const char* program;
        std::optional<std::string> command; // what <Command> holds; nothing: refused
    } cases[] = {
        {"C:\\Apps\\Kelvora.exe", "C:\\Apps\\Kelvora.exe"},
        {"C:\\R&D\\Kelvora.exe", "C:\\R&amp;D\\Kelvora.exe"},
        {"C:\\<a>\\\"b\"\\O'Neil\\Kelvora.exe",
         "C:\\&lt;a&gt;\\&quot;b&quot;\\O&apos;Neil\\Kelvora.exe"},
        {"C:\\ñandú 😀\\Kelvora.exe", "C:\\ñandú 😀\\Kelvora.exe"},
        {"C:\\</Command><Command>evil.exe", "C:\\&lt;/Command&gt;&lt;Command&gt;evil.exe"},
        {"C:\\a\nb\\Kelvora.exe", std::nullopt},
        {"C:\\a\x01"
         "b\\Kelvora.exe",
         std::nullopt},
    };
    for (const auto& c : cases) {
        LogonTask task = base;
        task.program = c.program;
        const auto xml = logon_task_xml(task);
        ASSERT_EQ(xml.has_value(), c.command.has_value()) << c.program;
        if (xml)
            EXPECT_NE(xml->find("<Command>" + *c.command + "</Command>"), std::string::npos)
                << *xml;
    }
}

TEST(LogonTaskXml, WholeDefinition) {
    const auto xml = logon_task_xml({"C:\\Apps\\Kelvora.exe", "--startup", "C:\\Apps",
                                     "Kelvora · soporte remoto", "S-1-5-21-7"});
    ASSERT_TRUE(xml);
    for (const char* part : {
             // Started at this user's logon only, with the highest rights the user has.
             "<LogonTrigger><Enabled>true</Enabled><UserId>S-1-5-21-7</UserId></LogonTrigger>",
             "<UserId>S-1-5-21-7</UserId><LogonType>InteractiveToken</LogonType>"
             "<RunLevel>HighestAvailable</RunLevel>",
             // Never ended for running long, nor on battery.
             "<ExecutionTimeLimit>PT0S</ExecutionTimeLimit>",
             "<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>",
             "<StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>",
             "<Exec><Command>C:\\Apps\\Kelvora.exe</Command><Arguments>--startup</Arguments>"
             "<WorkingDirectory>C:\\Apps</WorkingDirectory></Exec>",
             "<Description>Kelvora · soporte remoto</Description>",
         })
        EXPECT_NE(xml->find(part), std::string::npos) << part;
}

} // namespace
} // namespace kelvora::platform
