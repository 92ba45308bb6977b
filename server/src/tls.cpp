#include "tls.hpp"

namespace kv {

namespace ssl = boost::asio::ssl;

bool tls_store::reload(std::string& error) {
    auto ctx = std::make_shared<ssl::context>(ssl::context::tls_server);
    ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                     ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 |
                     ssl::context::single_dh_use);
    boost::system::error_code ec;
    ctx->use_certificate_chain_file(cert_file_, ec);
    if (ec) {
        error = cert_file_ + ": " + ec.message();
        return false;
    }
    ctx->use_private_key_file(key_file_, ssl::context::pem, ec);
    if (ec) {
        error = key_file_ + ": " + ec.message();
        return false;
    }
    // A renewal that copied the certificate but not yet its key must not go live.
    if (SSL_CTX_check_private_key(ctx->native_handle()) != 1) {
        error = key_file_ + ": does not match " + cert_file_;
        return false;
    }
    std::lock_guard lock(mutex_);
    ctx_ = std::move(ctx);
    return true;
}

std::shared_ptr<ssl::context> tls_store::current() const {
    std::lock_guard lock(mutex_);
    return ctx_;
}

} // namespace kv
