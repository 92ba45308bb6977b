#include "transfer/file_sink.hpp"

#include <algorithm>
#include <array>
#include <vector>
#include <system_error>
#include <thread>

#include "base/text.hpp"
#include "http/fields.hpp"
#include "platform/downloads.hpp"
#include "platform/process.hpp"
#include "platform/system.hpp"
#include "transfer/file_name.hpp"

namespace kelvora::transfer {

namespace {

// Alternatives tried for a taken name before giving up: "name (1).ext" … "name (999).ext".
constexpr unsigned kMaxAlternatives = 1000;

std::string new_transfer_id() {
    std::array<unsigned char, 12> b{};
    if (!platform::random_bytes(b.data(), b.size())) return {};
    return to_hex(b.data(), b.size());
}

std::string in_quotes(const std::string& name) {
    return "«" + name + "»";
}

// What the person reads when the disk says no.
std::string fault_message(platform::FileFault fault, const std::string& name,
                          const std::filesystem::path& folder) {
    switch (fault) {
    case platform::FileFault::no_space:
        return "No hay espacio suficiente en el disco para guardar " + in_quotes(name) + " en " +
               path_utf8(folder);
    case platform::FileFault::denied:
        return "No se puede guardar " + in_quotes(name) + ": no hay permiso para escribir en " +
               path_utf8(folder);
    case platform::FileFault::missing:
        return "No se puede guardar " + in_quotes(name) + ": la carpeta " + path_utf8(folder) +
               " ya no existe";
    default:
        return "No se pudo guardar " + in_quotes(name) + " en " + path_utf8(folder) +
               ": el disco no aceptó los datos";
    }
}

bool name_taken(const std::filesystem::path& p) {
    std::error_code ec;
    // A dangling link counts as taken: renaming onto it would follow nothing, but the person
    // would still see two entries with one name.
    return std::filesystem::symlink_status(p, ec).type() != std::filesystem::file_type::not_found;
}

} // namespace

struct FileSink::Transfer {
    std::string base;   // the safe name the sender's name gave
    unsigned number = 0; // of the first alternative that was free when the transfer began
    std::string name;   // that alternative: the name it will get
    std::filesystem::path folder;
    std::filesystem::path part;
    std::uint64_t size = 0;
    std::uint64_t written = 0;
    std::unique_ptr<platform::OutputFile> file;
    std::chrono::steady_clock::time_point last_use;
    bool writing = false;   // a write runs outside the lock; nothing else touches the file
    bool abandoned = false; // dropped while writing: the writer removes the file
};

FileSink::FileSink(Folder downloads, const Log& log, Clock now)
    : downloads_(std::move(downloads)), log_(log), now_(std::move(now)) {}

FileSink::~FileSink() {
    abandon_all();
}

void FileSink::discard(Transfer& t) {
    if (t.file) t.file->close();
    t.file.reset();
    std::error_code ec;
    std::filesystem::remove(t.part, ec);
}

void FileSink::drop(const std::string& id, const char* why) {
    auto it = open_.find(id);
    if (it == open_.end()) return;
    TransferPtr t = it->second;
    open_.erase(it);
    log_.write("[ARCHIVOS] " + std::string(why) + ": " + path_utf8(t->part));
    if (!t->writing) return discard(*t);
    // The writer closes and removes it when its write returns; where an open file can be
    // removed (Linux) it goes now, so an exit that comes first leaves nothing behind.
    t->abandoned = true;
    std::error_code ec;
    std::filesystem::remove(t->part, ec);
}

json FileSink::failure(const std::string& id, const std::string& msg) {
    log_.write("[ARCHIVOS] " + msg);
    drop(id, "archivo incompleto borrado");
    return http::refusal(msg);
}

void FileSink::sweep_idle() {
    const auto now = now_();
    std::vector<std::string> stale;
    for (const auto& [id, t] : open_)
        if (!t->writing && now - t->last_use > kIdleLimit) stale.push_back(id);
    for (const auto& id : stale) drop(id, "transferencia abandonada");
}

json FileSink::open(const json& body) {
    const auto size = http::int_field(body, "tamano");
    if (!size || *size <= 0 || static_cast<std::uint64_t>(*size) > kFileMax)
        return http::refusal("El tamaño del archivo no es válido");
    const std::string name = safe_file_name(http::text_field(body, "nombre"));

    std::lock_guard lock(mutex_);
    sweep_idle();
    if (open_.size() >= kMaxOpen)
        return http::refusal("Ya se están recibiendo demasiados archivos; espera a que termine uno");
    const auto folder = downloads_();
    if (!folder) return http::refusal("No se encontró la carpeta de descargas");
    std::error_code ec;
    std::filesystem::create_directories(*folder, ec);
    // Refused before anything is sent, rather than after the person waited for most of it.
    const auto space = std::filesystem::space(*folder, ec);
    if (!ec && space.available < static_cast<std::uintmax_t>(*size))
        return http::refusal(fault_message(platform::FileFault::no_space, name, *folder));

    auto t = std::make_shared<Transfer>();
    t->folder = *folder;
    t->size = static_cast<std::uint64_t>(*size);
    t->last_use = now_();
    for (unsigned n = 0; n < kMaxAlternatives && !t->file; ++n) {
        const std::string candidate = numbered_name(name, n);
        if (name_taken(*folder / u8path(candidate))) continue;
        const auto part = *folder / u8path(part_name(candidate));
        auto created = platform::create_new_file(part);
        if (created.fault == platform::FileFault::exists) continue;
        if (!created.file) {
            const std::string msg = fault_message(created.fault, name, *folder);
            log_.write("[ARCHIVOS] " + msg);
            return http::refusal(msg);
        }
        t->file = std::move(created.file);
        t->base = name;
        t->number = n;
        t->name = candidate;
        t->part = part;
    }
    if (!t->file) return http::refusal("Ya hay demasiados archivos llamados " + in_quotes(name));
    const std::string id = new_transfer_id();
    if (id.empty()) {
        discard(*t);
        return http::refusal("Error interno de Kelvora");
    }
    log_.write("[ARCHIVOS] recibiendo " + path_utf8(t->part) + " (" + std::to_string(t->size) +
               " bytes)");
    open_[id] = t;
    return {{"ok", true}, {"id", id}, {"nombre", t->name}};
}

json FileSink::write(std::string_view id, std::optional<std::uint64_t> from,
                     std::string_view piece) {
    TransferPtr t;
    {
        std::lock_guard lock(mutex_);
        sweep_idle();
        auto it = open_.find(id);
        if (it == open_.end()) return http::refusal("Esa transferencia ya no existe");
        t = it->second;
        const std::string key(id);
        // One write at a time per transfer: the in-flight bytes stay bounded, and pieces
        // can't be reordered by racing requests.
        if (t->writing) return http::refusal("La transferencia ya está escribiendo");
        if (piece.size() > kPieceMax) return failure(key, "Un trozo del archivo es demasiado grande");
        if (!from || *from != t->written)
            return failure(key, "Los datos de " + in_quotes(t->name) + " llegaron en desorden");
        if (piece.size() > t->size - t->written)
            return failure(key, "Llegaron más datos de " + in_quotes(t->name) + " de los anunciados");
        t->writing = true;
    }
    const auto fault = piece.empty() ? platform::FileFault::none : t->file->append(piece);

    std::lock_guard lock(mutex_);
    t->writing = false;
    t->last_use = now_();
    if (t->abandoned) {
        discard(*t);
        return http::refusal("Esa transferencia ya no existe");
    }
    if (fault != platform::FileFault::none)
        return failure(std::string(id), fault_message(fault, t->name, t->folder));
    t->written += piece.size();
    return {{"ok", true}, {"recibido", t->written}};
}

json FileSink::finish(const json& body) {
    const std::string id = http::text_field(body, "id");
    std::lock_guard lock(mutex_);
    auto it = open_.find(id);
    if (it == open_.end()) return http::refusal("Esa transferencia ya no existe");
    TransferPtr t = it->second;
    if (t->writing) return http::refusal("La transferencia ya está escribiendo");
    if (t->written != t->size) return failure(id, "El archivo " + in_quotes(t->name) + " llegó incompleto");
    if (const auto fault = t->file->close(); fault != platform::FileFault::none)
        return failure(id, fault_message(fault, t->name, t->folder));
    // The name was free when the transfer began; another program may have taken it since.
    for (unsigned n = t->number; n < kMaxAlternatives; ++n) {
        const std::string candidate = numbered_name(t->base, n);
        const auto target = t->folder / u8path(candidate);
        const auto fault = platform::rename_if_free(t->part, target);
        if (fault == platform::FileFault::exists) continue;
        if (fault != platform::FileFault::none)
            return failure(id, fault_message(fault, t->name, t->folder));
        open_.erase(it);
        log_.write("[ARCHIVOS] guardado " + path_utf8(target));
        return {{"ok", true},
                {"nombre", candidate},
                {"ruta", path_utf8(target)},
                {"carpeta", path_utf8(t->folder)}};
    }
    return failure(id, "Ya hay demasiados archivos llamados " + in_quotes(t->name));
}

json FileSink::cancel(const json& body) {
    std::lock_guard lock(mutex_);
    drop(http::text_field(body, "id"), "transferencia cancelada");
    sweep_idle();
    return http::ok_reply();
}

json FileSink::show_folder() {
    const auto folder = downloads_();
    if (!folder) return http::refusal("No se encontró la carpeta de descargas");
    std::error_code ec;
    std::filesystem::create_directories(*folder, ec);
    if (!platform::shell_open(path_utf8(*folder)))
        return http::refusal("No se pudo abrir la carpeta " + path_utf8(*folder));
    return http::ok_reply();
}

void FileSink::abandon_all() {
    std::vector<TransferPtr> busy;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, t] : open_)
            if (t->writing) busy.push_back(t);
        while (!open_.empty()) drop(open_.begin()->first, "transferencia cortada al salir");
    }
    // A write in progress ends within moments; its writer then closes and removes the file
    // (Windows can't remove a file that is still open).
    for (int tries = 0; tries < 50 && !busy.empty(); ++tries) {
        {
            std::lock_guard lock(mutex_);
            std::erase_if(busy, [](const TransferPtr& t) { return !t->writing; });
        }
        if (!busy.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

} // namespace kelvora::transfer
