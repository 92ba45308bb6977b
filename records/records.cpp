#include "records/records.hpp"

#include "app/data_dir.hpp"
#include "desktop/desktop.hpp"
#include "records/activity.hpp"
#include "records/identity.hpp"
#include "records/recents.hpp"
#include "records/service.hpp"

namespace kelvora::records {

// Each record is built on its first use; the static initialisation runs it once even
// when several requests arrive together.
IdentityStore& identity() {
    static IdentityStore store(data_directory());
    return store;
}

Activity& activity() {
    static Activity a(data_directory(),
                      DesktopHooks{desktop::release_held_input, desktop::restore_resolutions,
                                   desktop::close_capture_window});
    return a;
}

RecentList& recents() {
    static RecentList list(data_directory());
    return list;
}

void load_identity() {
    identity();
}

void add_state_fields(json& state) {
    const std::string id = identity().id();
    state["id"] = id;
    state["id_bonito"] = pretty_id(id);
    state["recientes"] = recents().list();
    activity().add_state_fields(state);
}

bool control_granted() {
    return activity().control_granted();
}

bool busy() {
    return activity().busy();
}

bool end_all_sessions() {
    return activity().end_all();
}

} // namespace kelvora::records
