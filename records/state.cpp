#include "records/state.hpp"

namespace kelvora::records {

void add_state_fields(json& state, const IdentityStore& identity, const RecentList& recents,
                      const Activity& activity) {
    const std::string id = identity.id();
    state["id"] = id;
    state["id_bonito"] = pretty_id(id);
    state["recientes"] = recents.list();
    activity.add_state_fields(state);
}

} // namespace kelvora::records
