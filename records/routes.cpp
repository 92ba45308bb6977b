#include "records/routes.hpp"

#include "http/fields.hpp"

namespace kelvora::records {

void register_routes(http::Router& r, IdentityStore& identity, Activity& activity,
                     RecentList& recents, std::function<void(json&)> add_names) {
    r.post("/api/identidad", [&identity, add_names = std::move(add_names)](const json&) {
        json reply = identity.identity_reply();
        add_names(reply);
        return reply;
    });
    r.post("/api/id/nuevo", [&identity](const json&) { return identity.new_id(); });
    r.post("/api/clave/nueva", [&identity](const json&) { return identity.new_password(); });
    r.post("/api/clave/poner", [&identity](const json& body) {
        return identity.set_password(http::text_field(body, "clave"));
    });
    r.post("/api/verificar", [&identity](const json& body) {
        return identity.verify(http::text_field(body, "clave"));
    });

    r.post("/api/sesion", [&activity](const json& body) { return activity.session(body); });
    r.post("/api/llamada", [&activity](const json& body) { return activity.call(body); });

    r.post("/api/recientes/agregar", [&recents](const json& body) {
        return recents.add(http::text_field(body, "id"), http::text_field(body, "nombre"));
    });
    r.post("/api/recientes/quitar",
           [&recents](const json& body) { return recents.remove(http::text_field(body, "id")); });
}

} // namespace kelvora::records
