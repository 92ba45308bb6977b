#pragma once
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "base/json_file.hpp"
#include "http/request.hpp"

namespace kelvora::http {

// What a read-only view may look at besides its path.
struct ViewRequest {
    std::string lang; // from the query's "lang=", "es" without one
};

// A POST whose body is raw bytes rather than JSON (a piece of a received file); its
// parameters come in the query.
struct DataRequest {
    std::string_view query;
    std::string_view body;
};

using PostHandler = std::function<json(const json& body)>;
using DataHandler = std::function<json(const DataRequest&)>;
using ViewHandler = std::function<json(const ViewRequest&)>;
using PageHandler = std::function<std::string(const ViewRequest&)>;
// A GET whose answer may be a long stream; it runs on a thread of its own.
using StreamHandler = std::function<Response()>;
// A POST or page for a caller that holds a credential of its own instead of the run's token
// (the capture window's ticket): the route checks it, and answers nothing to refuse.
using GuestPostHandler =
    std::function<std::optional<json>(const std::string& credential, const json& body)>;
using GuestPageHandler = std::function<std::optional<std::string>(const std::string& credential)>;

// Maps API paths (compared byte for byte) to the operations behind them. Filled once at
// start-up, read-only afterwards, so calls from many threads need no lock.
class Router {
public:
    void post(const std::string& path, PostHandler h);
    void post_data(const std::string& path, DataHandler h);
    void view(const std::string& path, ViewHandler h);
    // A read-only HTML page built on request (the printable manual).
    void page(const std::string& path, PageHandler h);
    void stream(const std::string& path, StreamHandler h);
    void guest_post(const std::string& path, GuestPostHandler h);
    void guest_page(const std::string& path, GuestPageHandler h);

    // An authorised POST; unknown paths get {"ok":false,"msg":"no existe"}.
    json call_post(const std::string& path, const json& body) const;
    // An authorised POST of raw bytes; nothing for paths that take JSON.
    std::optional<json> call_post_data(const std::string& path, const DataRequest& req) const;
    // A GET view; nothing for unknown paths.
    std::optional<json> call_view(const std::string& path, const ViewRequest& req) const;
    // A GET page; nothing for unknown paths.
    std::optional<std::string> call_page(const std::string& path, const ViewRequest& req) const;
    // A stream; nothing for unknown paths.
    std::optional<Response> call_stream(const std::string& path) const;
    // A guest's POST or page; nothing for unknown paths and refused credentials.
    std::optional<json> call_guest_post(const std::string& path, const std::string& credential,
                                        const json& body) const;
    std::optional<std::string> call_guest_page(const std::string& path,
                                               const std::string& credential) const;

private:
    std::map<std::string, PostHandler, std::less<>> posts_;
    std::map<std::string, DataHandler, std::less<>> data_posts_;
    std::map<std::string, ViewHandler, std::less<>> views_;
    std::map<std::string, PageHandler, std::less<>> pages_;
    std::map<std::string, StreamHandler, std::less<>> streams_;
    std::map<std::string, GuestPostHandler, std::less<>> guest_posts_;
    std::map<std::string, GuestPageHandler, std::less<>> guest_pages_;
};

} // namespace kelvora::http
