#pragma once
// The build the update tests start from: an older version number, trusting the key the
// build carries. Test builds carry the test key (cmake/update_key.cmake), so the tests can
// sign manifests; the publishing test links a key of its own. Only the test targets
// include this.
#include "update/update_key.hpp"
#include "update/update_state.hpp"

namespace kelvora::testing {

inline update::Trust prior_trust() {
    return {"1.3.1", update::kUpdatePublicKey};
}

} // namespace kelvora::testing
