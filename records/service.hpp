#pragma once
// The process-wide records on the data directory, built on first use.
#include "records/activity.hpp"
#include "records/identity.hpp"
#include "records/recents.hpp"

namespace kelvora::records {

IdentityStore& identity();
Activity& activity();
RecentList& recents();

} // namespace kelvora::records
