#include "http/control_gate.hpp"

#include "http/fields.hpp"

namespace kelvora::http {

json control_refusal() {
    return refusal("control");
}

PostHandler ControlGate::guard(PostHandler handler) const {
    return [this, handler = std::move(handler)](const json& body) {
        return granted() ? handler(body) : control_refusal();
    };
}

} // namespace kelvora::http
