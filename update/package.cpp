#include "update/package.hpp"

#include <zip.h>

#include <algorithm>
#include <mutex>
#include <optional>

#include "base/text.hpp"
#include "platform/system.hpp"
#include "update/inflate.hpp"

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

// An entry inflated while the package arrived, waiting for the read of that package.
struct KeptEntry {
    const char* data = nullptr; // the package it came from
    std::size_t package_size = 0;
    std::string name;
    int method = 0;
    std::uint32_t crc = 0;
    std::uint64_t packed = 0;
    std::uint64_t size = 0;
    std::string content; // all of it, or its first bytes when it went to a sink
    bool written = false;
};
std::mutex kept_mutex;
std::optional<KeptEntry> kept;

std::optional<KeptEntry> take_kept(std::string_view zip_bytes) {
    std::lock_guard lock(kept_mutex);
    std::optional<KeptEntry> k = std::move(kept);
    kept.reset();
    if (k && (k->data != zip_bytes.data() || k->package_size != zip_bytes.size())) k.reset();
    return k;
}

// Whether the directory's entry i is the one that was kept: same name, method, sizes and
// checksum (the archive was opened with its local headers checked against the directory).
bool same_entry(zip_t* archive, zip_uint64_t i, const char* name, const KeptEntry& k) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive, i, 0, &st) != 0) return false;
    const auto need = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD;
    return (st.valid & need) == need && k.name == name && st.comp_method == k.method &&
           st.size == k.size && st.comp_size == k.packed && st.crc == k.crc;
}

std::uint32_t le(std::string_view d, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(d[at + static_cast<std::size_t>(i)]);
    return v;
}

} // namespace

ProgramKind windows_program_kind() {
    return {"kelvora.exe", "MZ", "Kelvora.exe", ""};
}

ProgramKind linux_program_kind() {
    return {"kelvora",
            "\x7f"
            "ELF",
            "kelvora", "linux/"};
}

ProgramKind this_program_kind() {
    return platform::host_os() == platform::Os::windows ? windows_program_kind()
                                                        : linux_program_kind();
}

namespace {

ProgramEntry with_magic(ProgramEntry entry, const ProgramKind& kind) {
    if (entry.content.size() < kind.magic.size() ||
        entry.content.compare(0, kind.magic.size(), kind.magic) != 0)
        return {"", "el .zip no trae un programa válido"};
    return entry;
}

} // namespace

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

        ProgramEntry entry;
        if (auto k = take_kept(zip_bytes);
            k && same_entry(archive.get(), static_cast<zip_uint64_t>(i), name, *k)) {
            entry.content = std::move(k->content);
            entry.written = k->written;
            return with_magic(std::move(entry), kind);
        }
        std::unique_ptr<zip_file_t, FileCloser> file(
            zip_fopen_index(archive.get(), static_cast<zip_uint64_t>(i), 0));
        if (!file) return damaged;
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
        return with_magic(std::move(entry), kind);
    }
    return {"", "el .zip no trae " + kind.shown_name};
}

struct ProgramStream::State {
    enum class Step { header, skip, inflate, store, done, off };
    ProgramKind kind;
    std::uint64_t max_size;
    ProgramStream::Sink sink;
    std::string window; // where inflated bytes wait for the sink
    Step step = Step::header;
    std::size_t at = 0;  // the next byte of the package not yet looked at
    std::size_t end = 0; // where the current entry's data ends
    KeptEntry entry;
    std::uint64_t expected = 0; // the entry's size as its header says
    std::size_t written = 0;
    std::uint32_t crc = 0;
    std::unique_ptr<Inflater> inflater;

    // A local header whole at `at`: the next step is to skip, inflate or copy its data.
    bool header(std::string_view d) {
        constexpr std::size_t fixed = 30;
        if (d.size() < at + 4) return false;
        const std::uint32_t sig = le(d, at, 4);
        // The central directory: the local entries are over and the program was not there.
        if (sig == 0x02014b50) return step = Step::off, false;
        if (sig != 0x04034b50) return step = Step::off, false;
        if (d.size() < at + fixed) return false;
        const std::size_t name_len = le(d, at + 26, 2), extra_len = le(d, at + 28, 2);
        if (d.size() < at + fixed + name_len + extra_len) return false;
        const std::uint32_t flags = le(d, at + 6, 2), packed = le(d, at + 18, 4),
                            size = le(d, at + 22, 4);
        // Encrypted, sizes after the data, or zip64: left to the reading of the whole.
        if ((flags & 0x9) || packed == 0xffffffffu || size == 0xffffffffu)
            return step = Step::off, false;
        const std::string name(d.substr(at + fixed, name_len));
        const std::size_t data = at + fixed + name_len + extra_len;
        end = data + packed;
        at = data;
        if (!names_program(name, kind.entry_name)) return step = Step::skip, true;
        const int method = static_cast<int>(le(d, at - fixed - name_len - extra_len + 8, 2));
        if ((method != ZIP_CM_DEFLATE && method != ZIP_CM_STORE) || size > max_size ||
            (method == ZIP_CM_STORE && packed != size))
            return step = Step::off, false;
        entry.name = name;
        entry.method = method;
        entry.crc = le(d, data - name_len - extra_len - 16, 4);
        entry.packed = packed;
        entry.size = size;
        if (!sink) entry.content.reserve(size);
        expected = size;
        if (method == ZIP_CM_DEFLATE) {
            inflater = std::make_unique<Inflater>();
            step = Step::inflate;
        } else {
            step = Step::store;
        }
        return true;
    }

    // Inflated or stored bytes made: counted, and handed to the sink (whose first bytes
    // are kept for the check of the program's magic).
    bool made(const char* data, std::size_t n) {
        written += n;
        if (!sink) return true;
        if (entry.content.size() < 16)
            entry.content.append(data, std::min(n, 16 - entry.content.size()));
        return n == 0 || sink(std::string_view(data, n));
    }

    // Without a sink, output grows a megabyte at a time into the entry itself: no second
    // buffer, and never more than one byte past what the header announced (that byte shows
    // a lie). With one, it goes through a window of a megabyte.
    bool inflate_some(std::string_view d) {
        const std::size_t upto = std::min(d.size(), end);
        if (sink && window.empty()) window.resize(std::size_t{1} << 20);
        for (;;) {
            const std::size_t limit = static_cast<std::size_t>(std::clamp<std::uint64_t>(
                expected - std::min(expected, std::uint64_t{written}), 1, std::uint64_t{1} << 20));
            char* out;
            std::size_t room;
            if (sink) {
                out = window.data();
                room = std::min(window.size(), limit);
            } else {
                if (written == entry.content.size()) entry.content.resize(written + limit);
                out = entry.content.data() + written;
                room = entry.content.size() - written;
            }
            const Inflater::Step step = inflater->run(d.substr(at, upto - at), out, room);
            at += step.used;
            if (step.broken || !made(out, step.made) || written > expected) return finish(false);
            if (step.ended) {
                crc = inflater->crc();
                if (!sink) entry.content.resize(written);
                return finish(at == end);
            }
            // Room left over: it wants more of the package than has come.
            if (step.made < room || (step.used == 0 && step.made == 0)) break;
        }
        // Every byte of the entry is in and the deflate stream has not ended: cut short.
        return at == end ? finish(false) : false;
    }

    bool store_some(std::string_view d) {
        const std::size_t upto = std::min(d.size(), end);
        const std::string_view part = d.substr(at, upto - at);
        if (!sink) entry.content.append(part);
        at = upto;
        crc = crc32_update(crc, part);
        if (!made(part.data(), part.size())) return finish(false);
        return at == end ? finish(true) : false;
    }

    bool finish(bool whole) {
        inflater.reset();
        step = whole && written == expected && crc == entry.crc ? Step::done : Step::off;
        if (step == Step::off) entry.content = std::string();
        entry.written = step == Step::done && sink;
        window = std::string();
        return false;
    }
};

ProgramStream::ProgramStream(ProgramKind kind, std::uint64_t max_size, Sink sink)
    : state_(std::make_unique<State>()) {
    state_->kind = std::move(kind);
    state_->max_size = max_size;
    state_->sink = std::move(sink);
    // Whatever an earlier download left (one whose hash then failed) is never taken.
    std::lock_guard lock(kept_mutex);
    kept.reset();
}

ProgramStream::~ProgramStream() = default;

void ProgramStream::advance(std::string_view d) {
    State& s = *state_;
    for (bool more = true; more;) {
        switch (s.step) {
        case State::Step::header:
            more = s.header(d);
            break;
        case State::Step::skip:
            more = d.size() >= s.end;
            if (more) s.at = s.end, s.step = State::Step::header;
            break;
        case State::Step::inflate:
            more = s.inflate_some(d);
            break;
        case State::Step::store:
            more = s.store_some(d);
            break;
        case State::Step::done:
        case State::Step::off:
            more = false;
            break;
        }
    }
}

bool ProgramStream::ready() const {
    return state_->step == State::Step::done;
}

void ProgramStream::keep_for(std::string_view zip_bytes) {
    if (!ready()) return;
    KeptEntry k = std::move(state_->entry);
    k.data = zip_bytes.data();
    k.package_size = zip_bytes.size();
    state_->step = State::Step::off;
    std::lock_guard lock(kept_mutex);
    kept = std::move(k);
}

} // namespace kelvora::update
