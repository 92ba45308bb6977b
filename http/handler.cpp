#include "http/handler.hpp"

#include "base/version.hpp"
#include "http/fields.hpp"
#include "http/web_assets.hpp"

namespace kelvora::http {

namespace {

std::string replace_all(std::string text, std::string_view what, std::string_view with) {
    std::size_t pos = 0;
    while ((pos = text.find(what, pos)) != std::string::npos) {
        text.replace(pos, what.size(), with);
        pos += with.size();
    }
    return text;
}

Response fixed_refusal(int status, const char* body) {
    return {status, "application/json", body};
}

Response not_found() {
    return fixed_refusal(404, "{\"ok\":false}");
}

constexpr const char* kHtml = "text/html; charset=utf-8";

} // namespace

Response json_reply(const json& value) {
    return {200, "application/json; charset=utf-8", to_compact(value)};
}

RequestHandler::RequestHandler(std::string token, std::uint16_t port, const Router& router,
                               const Log& log)
    : token_(std::move(token)), port_(port), router_(router), log_(log) {
    index_page_ =
        replace_all(replace_all(std::string(find_web_asset("index.html")), "__TOKEN__", token_),
                    "__VERSION__", kVersion);
}

// The sound stream waits for its capture to start and then lasts as long as its client.
bool RequestHandler::runs_long(const Request& r) const {
    return r.method == "POST" || split_target(r.target).first == "/api/audio";
}

Response RequestHandler::handle(const Request& r) const {
    // One failing endpoint must not take the door down with it.
    try {
        return handle_checked(r);
    } catch (const std::exception& e) {
        log_.write("[APP] error interno en " + split_target(r.target).first + ": " + e.what());
    } catch (...) {
        log_.write("[APP] error interno en " + split_target(r.target).first);
    }
    return {500, "application/json; charset=utf-8",
            to_compact(http::refusal("Error interno de Kelvora"))};
}

Response RequestHandler::handle_checked(const Request& r) const {
    if (!host_allowed(r.header("host"), port_)) return fixed_refusal(403, "{}");
    auto [path, query] = split_target(r.target);
    if (r.method == "POST") return handle_post(path, query, r);
    return handle_get(path, query);
}

Response RequestHandler::handle_post(const std::string& path, const std::string& query,
                                     const Request& r) const {
    const bool token_ok = r.header("x-token") == token_;
    const bool origin_ok =
        !r.headers.contains("origin") || origin_allowed(r.header("origin"), port_);
    if (!origin_ok) return fixed_refusal(403, "{\"ok\":false}");
    if (!token_ok) return handle_guest_post(path, r);
    // A cut body would reach the handler as "{}" and be taken as a request without
    // fields: a clipboard wiped, every session ended.
    if (r.body_too_large || r.body.size() > kMaxBody)
        return {413, "application/json; charset=utf-8",
                to_compact(http::refusal("La petición es demasiado grande"))};
    if (auto reply = router_.call_post_data(path, {query, r.body})) return json_reply(*reply);
    json parsed = parse_json(r.body).value_or(json::object());
    return json_reply(router_.call_post(path, parsed));
}

// A POST without the run's token: only what a guest's own credential opens.
Response RequestHandler::handle_guest_post(const std::string& path, const Request& r) const {
    if (r.body_too_large || r.body.size() > kMaxBody) return fixed_refusal(403, "{\"ok\":false}");
    json parsed = parse_json(r.body).value_or(json::object());
    if (auto reply = router_.call_guest_post(path, r.header("x-token"), parsed))
        return json_reply(*reply);
    return fixed_refusal(403, "{\"ok\":false}");
}

Response RequestHandler::handle_get(const std::string& path, const std::string& query) const {
    if (path == "/" || path == "/index.html") return {200, kHtml, index_page_};
    if (auto file = find_static_asset(path)) return {200, file->type, std::string(file->data)};
    if (path == "/captura" || path == "/api/audio") {
        // The capture window's page opens with its one-time ticket, never with the token.
        if (path == "/captura") {
            if (auto page = router_.call_guest_page(path, query_value(query, "c")))
                return {200, kHtml, std::move(*page)};
            return fixed_refusal(403, "{}");
        }
        if (query_value(query, "t") != token_) return fixed_refusal(403, "{}");
        if (auto stream = router_.call_stream(path)) return std::move(*stream);
        return not_found();
    }
    const ViewRequest req{query_language(query)};
    if (auto page = router_.call_page(path, req)) return {200, kHtml, std::move(*page)};
    if (auto reply = router_.call_view(path, req)) return json_reply(*reply);
    return not_found();
}

} // namespace kelvora::http
