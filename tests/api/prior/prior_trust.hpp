#pragma once
// The build the update tests start from: an older version number, trusting the key the
// build carries. Test builds carry the test key (cmake/update_key.cmake), so the tests can
// sign manifests; the publishing test links a key of its own. Only the test targets
// include this.
#include <cstdlib>
#include <string>

#include "update/installer.hpp"
#include "update/update_key.hpp"
#include "update/update_state.hpp"

namespace kelvora::testing {

inline update::Trust prior_trust() {
    return {"1.3.1", update::kUpdatePublicKey};
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
