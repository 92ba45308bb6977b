#include "records/password.hpp"

#include <cstdint>
#include <cstdlib>

#include "base/text.hpp"
#include "platform/system.hpp"

namespace kelvora::records {

namespace {

constexpr std::size_t kMinChars = 6;
constexpr std::size_t kMaxChars = 32;

// One code point of valid UTF-8 starting at s[i]; advances i past it.
std::uint32_t next_code_point(std::string_view s, std::size_t& i) {
    const auto c = static_cast<unsigned char>(s[i++]);
    if (c < 0x80) return c;
    const int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
    std::uint32_t cp = c & (0x3F >> extra);
    for (int k = 0; k < extra && i < s.size(); ++k)
        cp = (cp << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
    return cp;
}

bool is_white_space(std::uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

bool is_control(std::uint32_t cp) {
    return cp <= 0x1F || (cp >= 0x7F && cp <= 0x9F);
}

bool is_upper_or_digit(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool constant_time_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char acc = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        acc |= static_cast<unsigned char>(a[i] ^ b[i]);
    return acc == 0;
}

// A generated password as people retype it: small letters, dashes or spaces between the
// groups. Only its ASCII letters and digits count, as capitals.
std::string app_style(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c >= 'a' && c <= 'z')
            out.push_back(static_cast<char>(c - 'a' + 'A'));
        else if (is_upper_or_digit(c))
            out.push_back(c);
    }
    return out;
}

} // namespace

std::string password_from_bytes(const std::array<unsigned char, kGeneratedPasswordLength>& b) {
    std::string out;
    for (unsigned char x : b)
        out.push_back(kPasswordAlphabet[x % kPasswordAlphabet.size()]);
    return out;
}

std::string generate_password() {
    std::array<unsigned char, kGeneratedPasswordLength> b;
    // Without a secure random source no password can be trusted; there is no recovery.
    if (!platform::random_bytes(b.data(), b.size())) std::abort();
    return password_from_bytes(b);
}

std::string trim_white_space(std::string_view s) {
    if (!is_valid_utf8(s)) return std::string(s);
    // Walks forward once: begin is where the first other character starts, end where the
    // last one stops.
    std::size_t begin = s.size(), end = 0;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t at = i;
        if (is_white_space(next_code_point(s, i))) continue;
        if (begin == s.size()) begin = at;
        end = i;
    }
    return begin < end ? std::string(s.substr(begin, end - begin)) : std::string();
}

std::optional<std::string> password_refusal(std::string_view trimmed) {
    const std::size_t chars = is_valid_utf8(trimmed) ? utf8_length(trimmed) : 0;
    if (chars < kMinChars || chars > kMaxChars)
        return "La contraseña debe tener de 6 a 32 caracteres.";
    for (std::size_t i = 0; i < trimmed.size();) {
        const std::uint32_t cp = next_code_point(trimmed, i);
        if (is_white_space(cp) || is_control(cp)) return "La contraseña no puede llevar espacios.";
    }
    return std::nullopt;
}

bool password_matches(std::string_view stored, std::string_view supplied) {
    if (supplied.empty() || stored.empty()) return false;
    bool app_password = true;
    for (char c : stored)
        app_password = app_password && is_upper_or_digit(c);
    if (app_password) return constant_time_equal(stored, app_style(supplied));
    return constant_time_equal(stored, supplied);
}

} // namespace kelvora::records
