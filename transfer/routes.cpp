// Received files reach the disk through these endpoints. Pieces are raw bytes (no JSON,
// no base64), so a piece costs the page and the host one copy each.
#include "transfer/routes.hpp"

#include "base/text.hpp"
#include "http/request.hpp"

namespace kelvora::transfer {

void register_routes(http::Router& r, FileSink& sink) {
    r.post("/api/archivos/abrir", [&sink](const json& body) { return sink.open(body); });
    r.post_data("/api/archivos/escribir", [&sink](const http::DataRequest& req) {
        const auto from = parse_unsigned(http::query_value(req.query, "desde"), kFileMax);
        return sink.write(http::query_value(req.query, "id"), from, req.body);
    });
    r.post("/api/archivos/terminar", [&sink](const json& body) { return sink.finish(body); });
    r.post("/api/archivos/cancelar", [&sink](const json& body) { return sink.cancel(body); });
    r.post("/api/archivos/carpeta", [&sink](const json&) { return sink.show_folder(); });
}

} // namespace kelvora::transfer
