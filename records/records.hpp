#pragma once
// What the rest of the program asks of the identity and the session records.
#include "app/json_file.hpp"

namespace kelvora::records {

// Loads identidad.json, or makes a new identity, before the server answers anything.
void load_identity();
// The state record's identity and session members: id, id_bonito, sesion, llamada,
// recientes, sesiones.
void add_state_fields(json& state);
// The control gate: true while a session with role "host" has its control flag set.
bool control_granted();
// True while any session or call is open; the updater waits for it to clear.
bool busy();
// Ends every open session and call, writing their end records; true when one of them
// had this PC as the host.
bool end_all_sessions();

} // namespace kelvora::records
