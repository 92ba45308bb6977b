// kelvora-package-texts: the texts the Debian packages carry, made at build time from the
// sources they describe (the desktop entry code, the manuals, the release notes).
#include <cstdio>
#include <string>
#include <vector>

#include "base/json_file.hpp"
#include "base/text.hpp"
#include "base/version.hpp"
#include "packaging/texts/changelog.hpp"
#include "packaging/texts/man_page.hpp"
#include "platform/linux/desktop_entry.hpp"

namespace {

using namespace kelvora;

int fail(const std::string& why) {
    std::fprintf(stderr, "kelvora-package-texts: %s\n", why.c_str());
    return 1;
}

int write(const std::string& out, const std::string& text) {
    if (text.empty()) return fail("nothing to write to " + out);
    return write_file(u8path(out), text) ? 0 : fail("cannot write " + out);
}

std::optional<std::string> input(const std::string& file) {
    return read_file(u8path(file));
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> a(argv + 1, argv + argc);
    if (a.size() == 2 && a[0] == "desktop") {
        // The entry the in-app shortcut writes, for the packaged program.
        auto entry = platform::linux_desktop::desktop_entry(
            {"/usr/bin/kelvora", {}, "", "Kelvora · soporte remoto", false});
        return entry ? write(a[1], *entry) : fail("no desktop entry");
    }
    if (a.size() == 4 && a[0] == "man") {
        auto manual = input(a[2]);
        if (!manual) return fail("cannot read " + a[2]);
        return write(a[3], packaging::kelvora_man_page(a[1], *manual));
    }
    if (a.size() == 4 && a[0] == "changelog") {
        auto notes = input(a[2]);
        if (!notes) return fail("cannot read " + a[2]);
        const std::string text = packaging::debian_changelog(a[1], *notes, kVersion);
        if (text.empty()) return fail(a[2] + " has no dated entry for v" + kVersion);
        return write(a[3], text);
    }
    return fail("usage: desktop OUT | man LANG MANUAL OUT | changelog PACKAGE NOTES OUT");
}
