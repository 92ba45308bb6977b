#pragma once
// The Debian changelog of a package, made from the release notes (one entry per version).
#include <string>
#include <string_view>

namespace kelvora::packaging {

// Every version of notes up to version, newest first, each list item a "*" line wrapped
// at 80 columns; Markdown emphasis is dropped. Empty when notes lack version.
std::string debian_changelog(std::string_view package, std::string_view notes,
                             const std::string& version);

} // namespace kelvora::packaging
