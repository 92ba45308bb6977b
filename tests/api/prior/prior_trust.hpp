#pragma once
// The build the update tests start from: an older version number, and a test key instead
// of the publisher's, so the tests can sign manifests. Only the test targets include this.
#include <cstdlib>
#include <string>

#include "update/installer.hpp"
#include "update/update_state.hpp"

namespace kelvora::testing {

inline update::Trust prior_trust() {
    // The private half is in tests/lib/update_server.mjs.
    return {"1.3.1", "cb5cca1a2a455eb908d628036332b5f248bdd55164c30c233394eaceff74918b"};
}

// KELVORA_PRUEBA_CORTE names a step of the swap where this build ends at once, as a
// power cut or a killed process would leave it.
inline void cut_swap_where_asked() {
    const char* at = std::getenv("KELVORA_PRUEBA_CORTE");
    if (!at || !*at) return;
    update::set_swap_probe([step = std::string(at)](std::string_view now) {
        if (now == step) std::_Exit(9);
    });
}

} // namespace kelvora::testing
