#pragma once
// The control gate: the endpoints that act on this PC's desktop for a technician run only
// while the person here lets a technician control it.
#include <functional>

#include "base/json_file.hpp"
#include "http/router.hpp"

namespace kelvora::http {

class ControlGate {
public:
    explicit ControlGate(std::function<bool()> granted) : granted_(std::move(granted)) {}

    bool granted() const { return granted_(); }
    // The handler behind the gate; while control isn't granted every call gets the one
    // refusal {"ok":false,"msg":"control"}.
    PostHandler guard(PostHandler handler) const;

private:
    std::function<bool()> granted_;
};

json control_refusal();

} // namespace kelvora::http
