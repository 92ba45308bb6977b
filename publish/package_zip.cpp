#include "publish/package_zip.hpp"

#include <zip.h>

#include <cstdio>
#include <ctime>
#include <memory>

namespace kelvora::publish {

namespace {

struct SourceFree {
    void operator()(zip_source_t* s) const { zip_source_free(s); }
};
struct ArchiveDiscard {
    void operator()(zip_t* z) const { zip_discard(z); }
};

Zipped failed(const std::string& why) {
    return {"", "no se pudo armar el .zip: " + why};
}

} // namespace

Zipped zip_program(const std::string& entry_name, std::string_view program, std::uint64_t mtime) {
    zip_error_t error;
    zip_error_init(&error);
    // The archive is written into a memory source that outlives zip_close (libzip's
    // in-memory pattern), then read back out of it.
    std::unique_ptr<zip_source_t, SourceFree> buffer(zip_source_buffer_create(nullptr, 0, 0, &error));
    if (!buffer) return failed(zip_error_strerror(&error));
    zip_source_keep(buffer.get());
    std::unique_ptr<zip_t, ArchiveDiscard> archive(
        zip_open_from_source(buffer.get(), ZIP_TRUNCATE, &error));
    if (!archive) {
        zip_source_free(buffer.get()); // the keep above
        return failed(zip_error_strerror(&error));
    }
    zip_error_fini(&error);

    zip_source_t* entry = zip_source_buffer(archive.get(), program.data(), program.size(), 0);
    const zip_int64_t index =
        entry ? zip_file_add(archive.get(), entry_name.c_str(), entry, ZIP_FL_ENC_UTF_8) : -1;
    if (index < 0) {
        if (entry) zip_source_free(entry);
        return failed(zip_strerror(archive.get()));
    }
    const auto i = static_cast<zip_uint64_t>(index);
    if (zip_set_file_compression(archive.get(), i, ZIP_CM_DEFLATE, 9) != 0 ||
        zip_file_set_mtime(archive.get(), i, static_cast<std::time_t>(mtime), 0) != 0 ||
        zip_file_set_external_attributes(archive.get(), i, 0, ZIP_OPSYS_UNIX, 0100755u << 16) != 0)
        return failed(zip_strerror(archive.get()));
    if (zip_close(archive.get()) != 0) return failed(zip_strerror(archive.get()));
    (void)archive.release(); // zip_close freed it

    Zipped out;
    if (zip_source_open(buffer.get()) != 0 || zip_source_seek(buffer.get(), 0, SEEK_END) != 0)
        return failed(zip_error_strerror(zip_source_error(buffer.get())));
    const zip_int64_t size = zip_source_tell(buffer.get());
    if (size < 0 || zip_source_seek(buffer.get(), 0, SEEK_SET) != 0) {
        zip_source_close(buffer.get());
        return failed(zip_error_strerror(zip_source_error(buffer.get())));
    }
    out.bytes.resize(static_cast<std::size_t>(size));
    const zip_int64_t got = zip_source_read(buffer.get(), out.bytes.data(), out.bytes.size());
    zip_source_close(buffer.get());
    if (got != size) return failed("no se pudo leer el archivo armado");
    return out;
}

} // namespace kelvora::publish
