#pragma once
#include "http/router.hpp"
#include "transfer/file_sink.hpp"

namespace kelvora::transfer {

// The endpoints of received files: open, write a piece, finish, cancel, show the folder.
void register_routes(http::Router& r, FileSink& sink);

} // namespace kelvora::transfer
