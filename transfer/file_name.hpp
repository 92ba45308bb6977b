#pragma once
// The names received files are saved under. A name comes from the other PC and is
// hostile: whatever it holds, the result is one plain file name inside the downloads
// folder, whose visible end is its real extension.
#include <cstddef>
#include <string>
#include <string_view>

namespace kelvora::transfer {

// The longest saved name, in characters, and in UTF-8 bytes (room is left for " (999)"
// and ".part" within the 255 bytes file systems allow).
inline constexpr std::size_t kNameMaxChars = 180;
inline constexpr std::size_t kNameMaxBytes = 200;

// A safe name for what the other side called its file: bidi controls removed (they can
// show "exe.txt" for "txt.exe"), path separators, reserved and control characters made
// "_", no leading dots (no hidden files, no ".."), no trailing dots or spaces, Windows
// device names (CON, NUL, COM1…) prefixed with "_", cut to the limits keeping the
// extension; "archivo" when nothing is left.
std::string safe_file_name(std::string_view raw);

// The n-th alternative for a taken name: "informe (n).pdf"; n 0 gives the name itself.
std::string numbered_name(std::string_view name, unsigned n);

// The name a file has while it is being received.
std::string part_name(std::string_view name);

} // namespace kelvora::transfer
