// Which way a browser started by an elevated Kelvora goes, and the profile switch it gets.
#include <gtest/gtest.h>

#include "platform/browser_rights.hpp"

namespace kelvora::platform {
namespace {

TEST(BrowserRights, WayByWhatWasFound) {
    using W = BrowserWay;
    const struct {
        BrowserFacts facts;
        BrowserWay way;
        const char* why;
    } cases[] = {
        // Not elevated: nothing to take away, whatever else is true.
        {{false, false, false, false}, W::as_is, ""},
        {{false, true, true, false}, W::as_is, ""},
        {{false, true, false, true}, W::as_is, ""},
        {{true, true, true, false}, W::user_token, ""},
        // Logon before Explorer is up, or no shell at all.
        {{true, false, false, false}, W::admin_profile, "no hay escritorio del usuario"},
        // Elevated with another account's credentials: the desktop's token is someone else's.
        {{true, true, false, false},
         W::admin_profile,
         "el escritorio es de otra cuenta de usuario"},
        // Secondary Logon off, no impersonation right, a command line too long for it.
        {{true, true, true, true},
         W::admin_profile,
         "no se pudo abrir con los permisos del usuario"},
    };
    for (const auto& c : cases) {
        const auto choice = choose_browser_way(c.facts);
        const auto& f = c.facts;
        const auto label = ::testing::Message()
                           << "elevated " << f.elevated << " shell " << f.shell_found << " same "
                           << f.same_user << " failed " << f.user_start_failed;
        EXPECT_EQ(choice.way, c.way) << label;
        EXPECT_EQ(choice.why, c.why) << label;
    }
}

TEST(BrowserRights, ProfileSwitch) {
    using Args = std::vector<std::string>;
    const std::string to = "C:\\ProgramData\\Kelvora\\S-1-5-21-1\\ventana";
    const struct {
        Args args;
        std::optional<std::string> folder;
        std::optional<Args> moved;
    } cases[] = {
        {{"--app=http://127.0.0.1:8810/", "--user-data-dir=C:\\Users\\ana\\data\\ventana",
          "--lang=en-US"},
         "C:\\Users\\ana\\data\\ventana",
         Args{"--app=http://127.0.0.1:8810/", "--user-data-dir=" + to, "--lang=en-US"}},
        // A page address that happens to hold the switch's text is not the switch.
        {{"--app=http://127.0.0.1/?--user-data-dir=x", "--user-data-dir=D:\\p"},
         "D:\\p",
         Args{"--app=http://127.0.0.1/?--user-data-dir=x", "--user-data-dir=" + to}},
        {{"--app=http://127.0.0.1/"}, std::nullopt, std::nullopt},
        // Two switches: which one Chromium obeys is not ours to guess.
        {{"--user-data-dir=A:\\a", "--user-data-dir=B:\\b"}, std::nullopt, std::nullopt},
        // An empty folder moves, but names nothing to take the name from.
        {{"--user-data-dir="}, std::nullopt, Args{"--user-data-dir=" + to}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(profile_folder(c.args), c.folder) << c.args.front();
        EXPECT_EQ(with_profile_folder(c.args, to), c.moved) << c.args.front();
    }
}

} // namespace
} // namespace kelvora::platform
