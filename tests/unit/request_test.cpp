#include <gtest/gtest.h>

#include "base/json_file.hpp"
#include "http/handler.hpp"
#include "http/router.hpp"
#include "temp_dir.hpp"

using namespace kelvora;
using namespace kelvora::http;

namespace {

constexpr std::uint16_t kPort = 8811;
const std::string kToken = "0123456789abcdef0123456789abcdef";

Router echo_router() {
    Router r;
    r.post("/api/eco", [](const json& body) { return json{{"ok", true}, {"body", body}}; });
    r.post("/api/falla", [](const json&) -> json { throw std::runtime_error("a propósito"); });
    r.view("/api/falla", [](const ViewRequest&) -> json { throw 7; });
    r.view("/api/vista", [](const ViewRequest& v) { return json{{"lang", v.lang}}; });
    // A guest's credential opens what its routes let it, and only those.
    r.guest_post("/api/eco", [](const std::string& who, const json& body) -> std::optional<json> {
        if (who != "invitado") return std::nullopt;
        return json{{"guest", true}, {"body", body}};
    });
    r.guest_page("/captura", [](const std::string& who) -> std::optional<std::string> {
        if (who != "boleto") return std::nullopt;
        return "<p>captura</p>";
    });
    return r;
}

Request make(std::string method, std::string target, std::map<std::string, std::string> headers,
             std::string body = "") {
    if (!headers.contains("host")) headers["host"] = "127.0.0.1:8811";
    return Request{std::move(method), std::move(target), std::move(headers), std::move(body)};
}

// A handler with a log of its own.
struct Handler {
    TempDir dir;
    Log log{dir.path};
    Router router = echo_router();
    RequestHandler h{kToken, kPort, router, log};
};

} // namespace

TEST(RequestChecks, HostValues) {
    for (const char* ok : {"127.0.0.1:8811", "localhost:8811"})
        EXPECT_TRUE(host_allowed(ok, kPort)) << ok;
    for (const char* bad : {"127.0.0.1", "[::1]:8811", "127.0.0.1:8810", "LOCALHOST:8811",
                            " 127.0.0.1:8811", "", "evil.example:8811"})
        EXPECT_FALSE(host_allowed(bad, kPort)) << bad;
}

TEST(RequestChecks, QueryParameters) {
    EXPECT_EQ(query_language(""), "es");
    EXPECT_EQ(query_language("x=1&lang=en&lang=es"), "en");
    EXPECT_EQ(query_language("lang="), "");
    EXPECT_EQ(query_value("tt=1&t=abc", "t"), "abc");
    EXPECT_EQ(query_value("x=1", "t"), "");
    EXPECT_EQ(split_target("/a?b?c").second, "b?c");
}

TEST(RequestHandler, Refusals) {
    Handler fixture;
    const RequestHandler& h = fixture.h;
    struct Case {
        const char* name;
        Request req;
        int status;
        const char* body;
    } cases[] = {
        {"host without port", make("GET", "/", {{"host", "127.0.0.1"}}), 403, "{}"},
        {"ipv6 host", make("GET", "/api/version", {{"host", "[::1]:8811"}}), 403, "{}"},
        {"missing host", make("POST", "/api/eco", {{"host", ""}, {"x-token", kToken}}), 403, "{}"},
        {"post without token", make("POST", "/api/eco", {}), 403, "{\"ok\":false}"},
        {"post with wrong token", make("POST", "/api/eco", {{"x-token", kToken + "0"}}), 403,
         "{\"ok\":false}"},
        {"post with Origin null",
         make("POST", "/api/eco", {{"x-token", kToken}, {"origin", "null"}}), 403,
         "{\"ok\":false}"},
        {"post from another origin",
         make("POST", "/api/eco", {{"x-token", kToken}, {"origin", "http://127.0.0.1:8810"}}), 403,
         "{\"ok\":false}"},
        {"capture page without a ticket", make("GET", "/captura", {}), 403, "{}"},
        {"capture page with the token", make("GET", "/captura?t=" + kToken, {}), 403, "{}"},
        {"capture page with a refused ticket", make("GET", "/captura?c=otro", {}), 403, "{}"},
        {"guest post with a refused credential", make("POST", "/api/eco", {{"x-token", "otro"}}),
         403, "{\"ok\":false}"},
        {"guest post on a route it has not", make("POST", "/api/falla", {{"x-token", "invitado"}}),
         403, "{\"ok\":false}"},
        {"guest post from another origin",
         make("POST", "/api/eco", {{"x-token", "invitado"}, {"origin", "null"}}), 403,
         "{\"ok\":false}"},
        {"audio with the wrong t", make("GET", "/api/audio?t=abc", {}), 403, "{}"},
        {"unknown path", make("GET", "/nada", {}), 404, "{\"ok\":false}"},
    };
    for (const auto& c : cases) {
        const Response r = h.handle(c.req);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.body, c.body) << c.name;
        EXPECT_EQ(r.content_type, "application/json") << c.name;
    }
}

TEST(RequestHandler, AuthorisedPosts) {
    Handler fixture;
    const RequestHandler& h = fixture.h;
    struct Case {
        std::map<std::string, std::string> headers;
        std::string body;
        const char* want;
    } cases[] = {
        {{{"x-token", kToken}}, "{\"a\":1}", "{\"body\":{\"a\":1},\"ok\":true}"},
        {{{"x-token", kToken}, {"origin", "http://localhost:8811"}},
         "[1]",
         "{\"body\":{},\"ok\":true}"},
        {{{"x-token", kToken}}, "not json", "{\"body\":{},\"ok\":true}"},
        {{{"x-token", kToken}}, "{\"a\":\"\xff\"}", "{\"body\":{},\"ok\":true}"},
    };
    for (const auto& c : cases) {
        const Response r = h.handle(make("POST", "/api/eco", c.headers, c.body));
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, c.want) << c.body;
        EXPECT_EQ(r.content_type, "application/json; charset=utf-8");
    }
    const Response guest = h.handle(make("POST", "/api/eco", {{"x-token", "invitado"}}, "{\"a\":1}"));
    EXPECT_EQ(guest.status, 200);
    EXPECT_EQ(guest.body, "{\"body\":{\"a\":1},\"guest\":true}");
    const Response page = h.handle(make("GET", "/captura?n=2&c=boleto", {}));
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.body, "<p>captura</p>");
    const Response unknown = h.handle(make("POST", "/api/nada", {{"x-token", kToken}}, "{}"));
    EXPECT_EQ(unknown.status, 200);
    EXPECT_EQ(unknown.body, "{\"msg\":\"no existe\",\"ok\":false}");
}

TEST(RequestHandler, BodiesOverTheLimitRunNothing) {
    Handler fixture;
    int runs = 0;
    fixture.router.post("/api/cuenta", [&runs](const json&) {
        ++runs;
        return json{{"ok", true}};
    });
    // A cut body would parse as "{}" and run the handler as a request without fields.
    Request over = make("POST", "/api/cuenta", {{"x-token", kToken}});
    over.body_too_large = true;
    const Request big = make("POST", "/api/cuenta", {{"x-token", kToken}},
                             "{\"a\":\"" + std::string(kMaxBody, 'x') + "\"}");
    for (const Request& r : {over, big}) {
        const Response reply = fixture.h.handle(r);
        EXPECT_EQ(reply.status, 413);
        EXPECT_EQ(reply.body, "{\"msg\":\"La petición es demasiado grande\",\"ok\":false}");
    }
    EXPECT_EQ(runs, 0);
    over.headers["x-token"] = "";
    EXPECT_EQ(fixture.h.handle(over).status, 403) << "the token is checked first";
}

TEST(RequestHandler, AThrowingHandlerGetsA500AndALogLine) {
    Handler fixture;
    for (const char* method : {"POST", "GET"}) {
        const Response r =
            fixture.h.handle(make(method, "/api/falla", {{"x-token", kToken}}, "{}"));
        EXPECT_EQ(r.status, 500) << method;
        EXPECT_EQ(r.body, "{\"msg\":\"Error interno de Kelvora\",\"ok\":false}") << method;
    }
    const auto log = read_file(fixture.dir.path / "kelvora.log").value_or("");
    EXPECT_NE(log.find("[APP] error interno en /api/falla: a propósito\n"), std::string::npos)
        << log;
    EXPECT_EQ(fixture.h.handle(make("GET", "/api/vista", {})).status, 200);
}

TEST(RequestHandler, PagesAndViews) {
    Handler fixture;
    const RequestHandler& h = fixture.h;
    const Response page = h.handle(make("GET", "/index.html?lang=en", {}));
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.content_type, "text/html; charset=utf-8");
    EXPECT_EQ(page.body.find("__TOKEN__"), std::string::npos);
    EXPECT_EQ(page.body.find("__VERSION__"), std::string::npos);
    EXPECT_NE(page.body.find(kToken), std::string::npos);
    EXPECT_EQ(h.handle(make("GET", "/", {})).body, page.body);

    EXPECT_EQ(h.handle(make("GET", "/api/vista?lang=en", {})).body, "{\"lang\":\"en\"}");
    EXPECT_EQ(h.handle(make("GET", "/api/vista", {})).body, "{\"lang\":\"es\"}");
    const Response font = h.handle(make("GET", "/font/archivo.woff2", {}));
    EXPECT_EQ(font.content_type, "font/woff2");
    EXPECT_EQ(font.body.substr(0, 4), "wOF2");
    EXPECT_EQ(h.handle(make("GET", "/img/kelvora.svg", {})).content_type, "image/svg+xml");
}
