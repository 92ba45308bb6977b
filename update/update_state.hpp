#pragma once
#include "app/json_file.hpp"

namespace kelvora::update {

// The update status object shown by the update screen and the state record.
json update_status();

} // namespace kelvora::update
