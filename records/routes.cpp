// The endpoints of the identity, the recent list and the session registry.
#include "http/routes.hpp"
#include "app/settings.hpp"
#include "http/fields.hpp"
#include "http/router.hpp"
#include "records/service.hpp"

namespace kelvora::records {

void register_routes(http::Router& r) {
    r.post("/api/identidad", [](const json&) {
        json reply = identity().identity_reply();
        reply["nombre"] = display_name();
        reply["servidor"] = server_address();
        return reply;
    });
    r.post("/api/id/nuevo", [](const json&) { return identity().new_id(); });
    r.post("/api/clave/nueva", [](const json&) { return identity().new_password(); });
    r.post("/api/clave/poner", [](const json& body) {
        return identity().set_password(http::text_field(body, "clave"));
    });
    r.post("/api/verificar",
           [](const json& body) { return identity().verify(http::text_field(body, "clave")); });

    r.post("/api/sesion", [](const json& body) { return activity().session(body); });
    r.post("/api/llamada", [](const json& body) { return activity().call(body); });

    r.post("/api/recientes/agregar", [](const json& body) {
        return recents().add(http::text_field(body, "id"), http::text_field(body, "nombre"));
    });
    r.post("/api/recientes/quitar",
           [](const json& body) { return recents().remove(http::text_field(body, "id")); });
}

} // namespace kelvora::records
