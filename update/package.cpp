#include "update/package.hpp"

#include <zip.h>

#include <memory>

#include "base/text.hpp"
#include "platform/system.hpp"

namespace kelvora::update {

namespace {

struct ZipCloser {
    void operator()(zip_t* z) const { zip_discard(z); }
};
struct FileCloser {
    void operator()(zip_file_t* f) const { zip_fclose(f); }
};

bool names_program(std::string name, const std::string& entry_name) {
    for (auto& c : name)
        if (c == '\\') c = '/';
    const auto slash = name.rfind('/');
    const std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
    return iequals_ascii(last, entry_name);
}

} // namespace

ProgramKind this_program_kind() {
    if (platform::host_os() == platform::Os::windows) return {"kelvora.exe", "MZ", "Kelvora.exe"};
    return {"kelvora",
            "\x7f"
            "ELF",
            "kelvora"};
}

ProgramEntry read_program_entry(std::string_view zip_bytes, const ProgramKind& kind,
                                std::uint64_t max_size) {
    const ProgramEntry damaged{"", "el .zip está dañado"};
    // libzip reads zero bytes as an empty archive; a download of nothing is no zip at all.
    if (zip_bytes.empty()) return damaged;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(zip_bytes.data(), zip_bytes.size(), 0, &error);
    if (!source) return damaged;
    std::unique_ptr<zip_t, ZipCloser> archive(
        zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error));
    zip_error_fini(&error);
    if (!archive) {
        zip_source_free(source);
        return damaged;
    }
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const char* name = zip_get_name(archive.get(), static_cast<zip_uint64_t>(i), 0);
        if (!name) return damaged;
        if (!names_program(name, kind.entry_name)) continue;

        std::unique_ptr<zip_file_t, FileCloser> file(
            zip_fopen_index(archive.get(), static_cast<zip_uint64_t>(i), 0));
        if (!file) return damaged;
        ProgramEntry entry;
        // The size the archive states, when believable, lets the content grow once.
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(archive.get(), static_cast<zip_uint64_t>(i), 0, &st) == 0 &&
            (st.valid & ZIP_STAT_SIZE) && st.size <= max_size)
            entry.content.reserve(static_cast<std::size_t>(st.size));
        char buf[65536];
        for (;;) {
            const zip_int64_t n = zip_fread(file.get(), buf, sizeof buf);
            if (n < 0) return damaged;
            if (n == 0) break;
            // A few kilobytes can inflate to gigabytes: stop long before memory runs out.
            if (entry.content.size() + static_cast<std::uint64_t>(n) > max_size) return damaged;
            entry.content.append(buf, static_cast<std::size_t>(n));
        }
        if (entry.content.size() < kind.magic.size() ||
            entry.content.compare(0, kind.magic.size(), kind.magic) != 0)
            return {"", "el .zip no trae un programa válido"};
        return entry;
    }
    return {"", "el .zip no trae " + kind.shown_name};
}

} // namespace kelvora::update
