#pragma once
// The user manual in Spanish and English and the release notes, as HTML.
#include <string>
#include <string_view>

#include "base/json_file.hpp"
#include "manual/headings.hpp"

namespace kelvora::manual {

// The maker, credited on the printed manual and in the help pane.
inline constexpr const char* kAuthor = "Arquena";
inline constexpr const char* kContact = "soporte@kelvora.app";

// "en" for English; any other value is Spanish.
std::string manual_language(std::string_view lang);

// Steps shared by every rendering of a manual: Markdown with tables and strikethrough,
// bold as <b>, notes (block quotes) as <div class="mnote">, anchored headings.
Anchored render_manual_text(std::string_view markdown);

// The reply of /api/manual.
json manual_reply(std::string_view lang);
// The printable page of /manual/imprimir: prints itself once loaded.
std::string print_page(std::string_view lang);
// The release notes from the newest version's heading on, plain CommonMark.
std::string render_release_notes(std::string_view notes);
// The reply of /api/novedades.
json release_notes_reply();

} // namespace kelvora::manual
