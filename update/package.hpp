#pragma once
// The program file inside an update package (a zip archive held in memory).
#include <string>
#include <string_view>

namespace kelvora::update {

struct ProgramEntry {
    std::string content;
    std::string error; // empty when the entry was read
};

// The program file this system runs: "kelvora.exe" starting with "MZ" on Windows, "kelvora"
// starting with the ELF magic on Linux.
struct ProgramKind {
    std::string entry_name; // compared ignoring letter case
    std::string magic;
    std::string shown_name; // as the messages name it
    // Where this program's channel lies below the product's update folder: each system
    // has its own manifest, since a package holds one system's program.
    std::string channel_folder; // "" or "<name>/"
};
ProgramKind windows_program_kind();
ProgramKind linux_program_kind();
// One of the two above.
ProgramKind this_program_kind();

// The first entry, in central-directory order, whose last path component (with "\" read as
// "/") is the program's name ignoring case, read whole and checked for the program's magic.
// Damaged archives, unsupported methods, encryption and checksum errors all count as
// damage; an entry that inflates past max_size too.
ProgramEntry read_program_entry(std::string_view zip_bytes, const ProgramKind& kind,
                                std::uint64_t max_size);

} // namespace kelvora::update
