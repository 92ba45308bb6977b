#pragma once
#include <functional>

#include "http/router.hpp"
#include "records/activity.hpp"
#include "records/identity.hpp"
#include "records/recents.hpp"

namespace kelvora::records {

// The endpoints of the identity, the recent list and the session registry. add_names puts
// the PC's shown name and the signalling server into the /api/identidad reply.
void register_routes(http::Router& r, IdentityStore& identity, Activity& activity,
                     RecentList& recents, std::function<void(json&)> add_names);

} // namespace kelvora::records
