#pragma once
// Where received files go and how they are written: the user's downloads folder, a file
// created only when its name is free, written as the data arrives, and renamed without
// ever replacing another file. Implemented once per OS in platform/<os>/downloads.cpp.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kelvora::platform {

// The user's downloads folder: `xdg-user-dir DOWNLOAD` on Linux (~/Downloads when that
// names the home folder itself or can't run), the Downloads known folder on Windows.
// Nothing when the OS can't say.
std::optional<std::filesystem::path> downloads_folder();

// What went wrong with a file, in the terms the portable code explains to the user.
enum class FileFault { none, exists, no_space, denied, missing, other };

// A file being written, closed when destroyed.
class OutputFile {
public:
    virtual ~OutputFile() = default;
    // Writes all of data at the end of the file.
    virtual FileFault append(std::string_view data) = 0;
    // Closes the file; later appends fail. Reports a failed flush (a full disk may only
    // show here on some systems).
    virtual FileFault close() = 0;
};

struct CreatedFile {
    std::unique_ptr<OutputFile> file; // null on failure
    FileFault fault = FileFault::none;
};
// Creates a new file for writing, private to the user; exists when the name is taken.
CreatedFile create_new_file(const std::filesystem::path& path);

// Renames a closed file to a name that must still be free: exists when it is taken, and
// nothing is replaced.
FileFault rename_if_free(const std::filesystem::path& from, const std::filesystem::path& to);

} // namespace kelvora::platform
