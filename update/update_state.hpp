#pragma once
#include "base/json_file.hpp"

namespace kelvora::update {

// The update status object shown by the update screen and the state record; auto_check is
// the `buscar_actualizaciones` switch.
json update_status(bool auto_check);

} // namespace kelvora::update
