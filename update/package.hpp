#pragma once
// The program file inside an update package (a zip archive held in memory).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace kelvora::update {

struct ProgramEntry {
    std::string content;
    std::string error; // empty when the entry was read
    // The content went, as it was inflated, to the sink of the ProgramStream that followed
    // the download; `content` then holds only its first bytes.
    bool written = false;
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
// damage; an entry that inflates past max_size too. An entry a ProgramStream kept for
// exactly these bytes is taken as it is when the archive's directory names the same
// entry (name, method, sizes and checksum); else the entry is inflated here.
ProgramEntry read_program_entry(std::string_view zip_bytes, const ProgramKind& kind,
                                std::uint64_t max_size);

// The program's entry inflated while the package is still arriving, from the entries'
// own headers in the order they come. Anything it does not follow (encryption, sizes only
// after the data, zip64, other methods, a bad checksum) makes it stop quietly:
// read_program_entry then does the whole work on the verified bytes. Nothing it makes is
// used before the package's hash was checked.
//
// With a sink, the inflated bytes go there as they come (false from it stops the stream)
// instead of into memory: the program is on disk when the download ends.
class ProgramStream {
public:
    using Sink = std::function<bool(std::string_view)>;
    ProgramStream(ProgramKind kind, std::uint64_t max_size, Sink sink = {});
    ~ProgramStream();
    ProgramStream(const ProgramStream&) = delete;
    ProgramStream& operator=(const ProgramStream&) = delete;

    // data: every byte of the package so far, from its start, at an address that stays.
    void advance(std::string_view data);
    // Whether the program's entry was inflated whole and its checksum matched.
    bool ready() const;
    // Hands the inflated entry to the next read_program_entry of exactly these bytes.
    void keep_for(std::string_view zip_bytes);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace kelvora::update
