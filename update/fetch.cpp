#include "update/fetch.hpp"

#include "platform/download.hpp"

namespace kelvora::update {

Fetched fetch(const std::string& url, std::uint64_t limit, const std::string& version,
              const Progress& progress) {
    Fetched out;
    // Address space only: the pages are touched as the bytes come.
    if (progress) out.body.reserve(static_cast<std::size_t>(limit));
    bool too_big = false;
    const auto r = platform::http_get(url, "Kelvora/" + version,
                                      [&](std::string_view block, std::uint64_t length) {
                                          if (out.body.size() + block.size() > limit) {
                                              too_big = true;
                                              return false;
                                          }
                                          // A Content-Length within the limit lets the buffer grow
                                          // once.
                                          if (!progress && out.body.empty() && length > 0 &&
                                              length <= limit)
                                              out.body.reserve(length);
                                          out.body.append(block);
                                          if (progress) progress(out.body, length);
                                          return true;
                                      });
    using platform::FetchStep;
    const std::string code = std::to_string(r.code);
    switch (r.step) {
    case FetchStep::done:
        return out;
    case FetchStep::no_session:
        out.error = "sin internet (" + code + ")";
        break;
    case FetchStep::no_connect:
        out.error = "no se pudo conectar (" + code + ")";
        break;
    case FetchStep::status:
        out.error = "el servidor respondió " + code;
        break;
    case FetchStep::cut:
        out.error = "se cortó la descarga (" + code + ")";
        break;
    case FetchStep::stopped:
        out.error = too_big ? "el archivo es más grande de lo esperado"
                            : "se cortó la descarga (" + code + ")";
        break;
    }
    // With a progress, another thread may still be reading the bytes: they stay for the
    // caller to drop.
    if (!progress) {
        out.body.clear();
        out.body.shrink_to_fit();
    }
    return out;
}

} // namespace kelvora::update
