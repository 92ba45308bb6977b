#include "http/router.hpp"

#include "http/fields.hpp"

namespace kelvora::http {

void Router::post(const std::string& path, PostHandler h) {
    posts_[path] = std::move(h);
}

void Router::post_data(const std::string& path, DataHandler h) {
    data_posts_[path] = std::move(h);
}

void Router::view(const std::string& path, ViewHandler h) {
    views_[path] = std::move(h);
}

void Router::page(const std::string& path, PageHandler h) {
    pages_[path] = std::move(h);
}

void Router::stream(const std::string& path, StreamHandler h) {
    streams_[path] = std::move(h);
}

json Router::call_post(const std::string& path, const json& body) const {
    auto it = posts_.find(path);
    if (it == posts_.end()) return refusal("no existe");
    return it->second(body.is_object() ? body : json::object());
}

std::optional<json> Router::call_post_data(const std::string& path,
                                          const DataRequest& req) const {
    auto it = data_posts_.find(path);
    if (it == data_posts_.end()) return std::nullopt;
    return it->second(req);
}

std::optional<json> Router::call_view(const std::string& path, const ViewRequest& req) const {
    auto it = views_.find(path);
    if (it == views_.end()) return std::nullopt;
    return it->second(req);
}

std::optional<std::string> Router::call_page(const std::string& path,
                                             const ViewRequest& req) const {
    auto it = pages_.find(path);
    if (it == pages_.end()) return std::nullopt;
    return it->second(req);
}

std::optional<Response> Router::call_stream(const std::string& path) const {
    auto it = streams_.find(path);
    if (it == streams_.end()) return std::nullopt;
    return it->second();
}

void Router::guest_post(const std::string& path, GuestPostHandler h) {
    guest_posts_[path] = std::move(h);
}

void Router::guest_page(const std::string& path, GuestPageHandler h) {
    guest_pages_[path] = std::move(h);
}

std::optional<json> Router::call_guest_post(const std::string& path,
                                            const std::string& credential,
                                            const json& body) const {
    auto it = guest_posts_.find(path);
    if (it == guest_posts_.end() || credential.empty()) return std::nullopt;
    return it->second(credential, body.is_object() ? body : json::object());
}

std::optional<std::string> Router::call_guest_page(const std::string& path,
                                                   const std::string& credential) const {
    auto it = guest_pages_.find(path);
    if (it == guest_pages_.end() || credential.empty()) return std::nullopt;
    return it->second(credential);
}

} // namespace kelvora::http
