#include "records/records.hpp"

#include "http/routes.hpp"

namespace kelvora::records {

// The identity and the session registry are not part of this build yet: the state shows
// no ID and no open session, and nothing claims to be open.
void load_identity() {}

void add_state_fields(json& state) {
    state["id"] = "";
    state["id_bonito"] = "";
    state["sesion"] = {{"activa", false}, {"rol", ""},        {"control", false},
                       {"con", ""},       {"lista", json::array()}, {"llamadas", 0}};
    state["llamada"] = false;
    state["recientes"] = json::array();
    state["sesiones"] = json::array();
}

bool end_all_sessions() { return false; }

bool control_granted() { return false; }

void register_routes(http::Router&) {}

} // namespace kelvora::records
