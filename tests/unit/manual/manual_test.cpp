// The manual's and the release notes' HTML: what md4c makes of the constructs the texts
// use, the changes made to it, and the built-in texts themselves.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <vector>

#include "../temp_dir.hpp"
#include "manual/manual.hpp"
#include "manual/markdown.hpp"
#include "manual/texts.hpp"

namespace kelvora::manual {
namespace {

// Line breaks between tags carry no meaning in HTML, and renderers place them differently.
std::string normalized(std::string html) {
    html = std::regex_replace(html, std::regex(">\n+"), ">");
    html = std::regex_replace(html, std::regex("\n+<"), "<");
    return html;
}

TEST(Markdown, ConstructsOfTheManuals) {
    const struct {
        const char* md;
        const char* html;
    } cases[] = {
        {"<!-- manual-version: 1.3.2 -->\n# Manual",
         "<!-- manual-version: 1.3.2 --><h1>Manual</h1>"},
        {"Texto con **negrita**, `código` y [enlace](https://kelvora.app/).",
         R"(<p>Texto con <strong>negrita</strong>, <code>código</code> y <a href="https://kelvora.app/">enlace</a>.</p>)"},
        {"- uno\n- dos\n\n1. a\n2. b",
         "<ul><li>uno</li><li>dos</li></ul><ol><li>a</li><li>b</li></ol>"},
        {"> **Nota:** solo con permiso.",
         "<blockquote><p><strong>Nota:</strong> solo con permiso.</p></blockquote>"},
        {"| Botón | Qué hace |\n|---|---|\n| **Terminar** | corta `ya` |\n| Chat | abre |",
         "<table><thead><tr><th>Botón</th><th>Qué "
         "hace</th></tr></thead><tbody><tr><td><strong>Terminar</strong>"
         "</td><td>corta "
         "<code>ya</code></td></tr><tr><td>Chat</td><td>abre</td></tr></tbody></table>"},
        {"| a | b |\n|:--|--:|\n| 1 | 2 |",
         R"(<table><thead><tr><th style="text-align: left">a</th><th style="text-align: right">b</th>)"
         R"(</tr></thead><tbody><tr><td style="text-align: left">1</td><td style="text-align: right">2)"
         R"(</td></tr></tbody></table>)"},
        {"~~tachado~~ y \"comillas\" & <",
         "<p><del>tachado</del> y &quot;comillas&quot; &amp; &lt;</p>"},
        {"línea  \nsiguiente\n\n---", "<p>línea<br />siguiente</p><hr />"},
        {"### Durante la sesión (barra de arriba)", "<h3>Durante la sesión (barra de arriba)</h3>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(normalized(markdown_to_html(c.md, Extensions::tables_and_strikethrough)), c.html)
            << c.md;
    // Plain CommonMark for the release notes: a pipe table is a paragraph, tildes are text.
    EXPECT_EQ(normalized(markdown_to_html("| a |\n|---|\n~~b~~", Extensions::none)),
              "<p>| a |\n|---|\n~~b~~</p>");
}

TEST(RenderManual, BoldNotesAndAnchors) {
    const Anchored a = render_manual_text(
        "<!-- manual-version: 1.3.2 -->\n# T\n\n> Una **nota**.\n\n## Sección\n\n~~x~~\n");
    EXPECT_EQ(
        normalized(a.html),
        R"(<!-- manual-version: 1.3.2 --><h1 id="t">T</h1><div class="mnote"><p>Una <b>nota</b>.</p></div>)"
        R"(<h2 id="seccion">Sección</h2><p><del>x</del></p>)");
    EXPECT_EQ(a.toc.dump(), R"([{"id":"seccion","sub":[],"title":"Sección"}])");
}

TEST(ReleaseNotes, StartAtTheNewestVersion) {
    const struct {
        const char* notes;
        const char* html;
    } cases[] = {
        {"# Historial\n\nFormato: MAYOR.MENOR\n\n## v2 — 2026-01-02\n\n- **uno**\n\n## v1 — "
         "2026-01-01\n",
         "<h2>v2 — 2026-01-02</h2><ul><li><strong>uno</strong></li></ul><h2>v1 — 2026-01-01</h2>"},
        {"Sin secciones, **todo**", "<p>Sin secciones, <strong>todo</strong></p>"},
        {"## Al inicio no cuenta\n\ntexto", "<h2>Al inicio no cuenta</h2><p>texto</p>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(normalized(render_release_notes(c.notes)), c.html) << c.notes;
}

std::vector<std::string> titles(const json& toc, bool sub) {
    std::vector<std::string> out;
    for (const auto& e : toc) {
        if (!sub) out.push_back(e["title"]);
        for (const auto& s : e["sub"])
            if (sub) out.push_back(std::string(e["title"]) + " / " + std::string(s["title"]));
    }
    return out;
}

TEST(BuiltInManuals, SectionsInOrder) {
    const std::vector<std::string> es = {
        "Instalación",
        "Las dos formas de usarlo",
        "Recibir soporte (Esta PC)",
        "Dar soporte (Conectar a otra PC)",
        "Acceso desatendido (con contraseña)",
        "Varios monitores",
        "Varias sesiones a la vez",
        "Llamar a un ID (como teléfono)",
        "Varias llamadas: espera, cambiar y unir",
        "Panel de la llamada",
        "Llamada de soporte (pestaña Llamada)",
        "Ajustes",
        "Cómo funciona y tu privacidad",
        "Problemas comunes",
        "Qué hacer si quiero desinstalar Kelvora",
        "Actualizaciones",
        "Contacto",
    };
    const std::vector<std::string> es_sub = {
        "Recibir soporte (Esta PC) / Cuando alguien pide entrar",
        "Recibir soporte (Esta PC) / Durante la sesión (barra de arriba)",
        "Dar soporte (Conectar a otra PC) / El visor",
    };
    const std::vector<std::string> en = {
        "Installation",
        "The two ways to use it",
        "Getting support (This PC)",
        "Giving support (Connect to another PC)",
        "Unattended access (with password)",
        "Several monitors",
        "Several sessions at once",
        "Calling an ID (like a phone)",
        "Several calls: hold, switch and merge",
        "The call panel",
        "Support call (Call tab)",
        "Settings",
        "How it works and your privacy",
        "Common problems",
        "What to do if I want to uninstall Kelvora",
        "Updates",
        "Contact",
    };
    const std::vector<std::string> en_sub = {
        "Getting support (This PC) / When someone asks to connect",
        "Getting support (This PC) / During the session (bar at the top)",
        "Giving support (Connect to another PC) / The viewer",
    };
    const struct {
        const char* lang;
        const char* title;
        const std::vector<std::string>& sections;
        const std::vector<std::string>& subsections;
        const char* problems_header;
    } cases[] = {
        {"es", "Manual de Kelvora", es, es_sub, "<th>Problema</th><th>Solución</th>"},
        {"en", "Kelvora manual", en, en_sub, "<th>Problem</th><th>Solution</th>"},
    };
    for (const auto& c : cases) {
        const json reply = manual_reply(c.lang);
        EXPECT_EQ(titles(reply["toc"], false), c.sections) << c.lang;
        EXPECT_EQ(titles(reply["toc"], true), c.subsections) << c.lang;
        const std::string html = reply["html"];
        EXPECT_TRUE(html.starts_with("<!-- manual-version: 1.3.2 -->\n<h1 id=\"")) << c.lang;
        EXPECT_NE(html.find(std::string(c.title) + "</h1>"), std::string::npos) << c.lang;
        // A lead paragraph and the note on access and consent come before the first section.
        const auto first_section = html.find("<h2");
        EXPECT_LT(html.find("<div class=\"mnote\">"), first_section) << c.lang;
        EXPECT_EQ(html.find("<strong>"), std::string::npos) << c.lang;
        EXPECT_NE(html.find("<b>"), std::string::npos) << c.lang;
        EXPECT_NE(normalized(html).find(c.problems_header), std::string::npos) << c.lang;
        // Two-column reference tables: two ways of use, getting and giving support, the
        // call panel, settings and common problems.
        std::size_t tables = 0;
        for (auto p = html.find("<table>"); p != std::string::npos; p = html.find("<table>", p + 1))
            ++tables;
        EXPECT_GE(tables, 6u) << c.lang;
        EXPECT_NE(html.find(kContact), std::string::npos) << c.lang;
    }
}

TEST(BuiltInNotes, VersionsNewestFirst) {
    const std::string html = release_notes_reply()["html"];
    EXPECT_TRUE(html.starts_with("<h2>v1.3.2 — 2026-11-04</h2>")) << html.substr(0, 80);
    EXPECT_EQ(html.find("Historial de versiones de Kelvora"), std::string::npos);
    EXPECT_EQ(html.find("Formato:"), std::string::npos);
    std::vector<std::string> versions;
    const std::regex heading("<h2>(v[^<]*)</h2>");
    for (std::sregex_iterator i(html.begin(), html.end(), heading), end; i != end; ++i)
        versions.push_back((*i)[1]);
    EXPECT_EQ(versions, (std::vector<std::string>{"v1.3.2 — 2026-11-04", "v1.2.1 — 2026-11-04",
                                                  "v1.1.0 — 2026-11-02", "v1.0.0 — 2026-11-02"}));
    const std::string notes(built_in_text("novedades.md"));
    EXPECT_TRUE(notes.starts_with("# Historial de versiones de Kelvora\n\nFormato:"));
}

// A second CommonMark renderer, built from Debian's Rust crate sources when cargo and the
// crate are installed, must write the same HTML for the three built-in texts.
TEST(BuiltInTexts, SameHtmlAsASecondRenderer) {
    const std::string oracle = KELVORA_CMARK_ORACLE;
    if (oracle.empty() || !std::filesystem::exists(oracle))
        GTEST_SKIP() << "no second renderer: cargo or librust-pulldown-cmark-dev is not installed";
    TempDir dir;
    const struct {
        const char* text;
        Extensions ext;
    } cases[] = {{"manual_es.md", Extensions::tables_and_strikethrough},
                 {"manual_en.md", Extensions::tables_and_strikethrough},
                 {"novedades.md", Extensions::none}};
    for (const auto& c : cases) {
        const auto md = built_in_text(c.text);
        const auto file = dir.path / c.text;
        std::ofstream(file, std::ios::binary) << md;
        const std::string cmd = oracle + (c.ext == Extensions::none ? "" : " --tables-strike") +
                                " < '" + file.string() + "'";
        std::string theirs;
        if (FILE* p = popen(cmd.c_str(), "r")) {
            char buf[4096];
            for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
                theirs.append(buf, n);
            ASSERT_EQ(pclose(p), 0) << cmd;
        }
        const std::string ours = markdown_to_html(md, c.ext);
        ASSERT_FALSE(theirs.empty()) << c.text;
        EXPECT_EQ(normalized(ours), normalized(theirs)) << c.text;
    }
}

} // namespace
} // namespace kelvora::manual
