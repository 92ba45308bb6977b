#pragma once
// The Kelvora logo drawn in pixels for the tray: the blue rounded square, the white K and
// the green dot of web/img/kelvora.svg.
#include <vector>

#include "platform/tray.hpp"

namespace kelvora {

platform::TrayPicture logo_picture(int size);
// The sizes trays ask for most.
std::vector<platform::TrayPicture> logo_pictures();

} // namespace kelvora
