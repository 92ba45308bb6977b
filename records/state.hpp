#pragma once
// The identity and session members of the state record.
#include "base/json_file.hpp"
#include "records/activity.hpp"
#include "records/identity.hpp"
#include "records/recents.hpp"

namespace kelvora::records {

// id, id_bonito, recientes, sesion, llamada and sesiones.
void add_state_fields(json& state, const IdentityStore& identity, const RecentList& recents,
                      const Activity& activity);

} // namespace kelvora::records
