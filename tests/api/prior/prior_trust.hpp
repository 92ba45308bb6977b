#pragma once
// The build the update tests start from: an older version number, and a test key instead
// of the publisher's, so the tests can sign manifests. Only the test targets include this.
#include "update/update_state.hpp"

namespace kelvora::testing {

inline update::Trust prior_trust() {
    // The private half is in tests/lib/update_server.mjs.
    return {"1.3.1", "cb5cca1a2a455eb908d628036332b5f248bdd55164c30c233394eaceff74918b"};
}

} // namespace kelvora::testing
