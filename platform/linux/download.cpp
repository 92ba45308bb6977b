#include "platform/download.hpp"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>

namespace kelvora::platform {

namespace {

struct Transfer {
    CURL* curl = nullptr;
    const FetchBlock* on_block = nullptr;
    bool wrong_status = false;
    bool stopped = false;
    bool got_reply = false;
};

std::size_t on_data(char* data, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    t->got_reply = true;
    long status = 0;
    curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        t->wrong_status = true;
        return 0;
    }
    curl_off_t length = -1;
    curl_easy_getinfo(t->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (!(*t->on_block)(std::string_view(data, n),
                        length > 0 ? static_cast<std::uint64_t>(length) : 0)) {
        t->stopped = true;
        return 0;
    }
    return n;
}

// curl_global_init is not thread-safe before 7.84; once per process, on first use.
bool curl_ready() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

} // namespace

FetchResult http_get(const std::string& url, const std::string& user_agent,
                     const FetchBlock& on_block) {
    if (!curl_ready()) return {FetchStep::no_session, CURLE_FAILED_INIT};
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) return {FetchStep::no_session, CURLE_FAILED_INIT};
    Transfer t{curl.get(), &on_block};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_USERAGENT, user_agent.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
    // As WinINet does: a secure address never hands the download to a plain one.
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR,
                     url.rfind("https:", 0) == 0 ? "https" : "http,https");
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, 25000L);
    // libcurl has no per-read time-out: nothing received for 25 seconds ends it the same way.
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 25L);
    curl_easy_setopt(c, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 65536L);
    // The same variable the curl tool reads, for a certificate authority of one's own.
    if (const char* ca = std::getenv("CURL_CA_BUNDLE"); ca && *ca)
        curl_easy_setopt(c, CURLOPT_CAINFO, ca);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_data);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);

    const CURLcode rc = curl_easy_perform(c);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (t.stopped) return {FetchStep::stopped, 0};
    if (t.wrong_status || (rc == CURLE_OK && status != 200))
        return {FetchStep::status, static_cast<unsigned long>(status)};
    if (rc == CURLE_OK) return {FetchStep::done, 0};
    if (!t.got_reply && status == 0) return {FetchStep::no_connect, static_cast<unsigned long>(rc)};
    return {FetchStep::cut, static_cast<unsigned long>(rc)};
}

} // namespace kelvora::platform
