// Anchors, heading texts and the table of contents of the manual.
#include <gtest/gtest.h>

#include "manual/headings.hpp"

namespace kelvora::manual {
namespace {

TEST(HeadingSlug, Table) {
    const struct {
        const char* text;
        const char* slug;
    } cases[] = {
        {"Qué hacer si quiero desinstalar Kelvora", "que-hacer-si-quiero-desinstalar-kelvora"},
        {"Recibir soporte (Esta PC)", "recibir-soporte-esta-pc"},
        {"Llamar a un ID (como teléfono)", "llamar-a-un-id-como-telefono"},
        {"Varias llamadas: espera, cambiar y unir", "varias-llamadas-espera-cambiar-y-unir"},
        {"ÀÁÂÄ ÈÉÊË ÌÍÎÏ Ñ ÒÓÔÖ ÙÚÛÜ", "aaaa-eeee-iiii-n-oooo-uuuu"},
        {"àáâä èéêë ìíîï ñ òóôö ùúûü", "aaaa-eeee-iiii-n-oooo-uuuu"},
        {"Año 2026", "ano-2026"},
        {"São Paulo, Åland, Ça va, Õ", "s-o-paulo-land-a-va"}, // other letters are breaks
        {"  (Entre paréntesis)  ", "entre-parentesis"},        // no "-" at either end
        {"a -- b", "a-b"},                                     // runs collapse to one
        {"🙂", ""},                                          // nothing kept at all
        {"Llamada 🙂 de soporte", "llamada-de-soporte"},
        {"x×y", "x-y"},            // × is a sign, not a capital letter
        {"İstanbul", "i-stanbul"}, // İ lower-cases to i and a combining dot
        {"\xE2\x84\xAA"
         "elvin",
         "kelvin"}, // the Kelvin sign lower-cases to k
        {"a\xFF"
         "b",
         "a-b"}, // a stray byte is one more break
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(heading_slug(c.text), c.slug) << c.text;
}

TEST(HeadingText, TagsGoEscapesComeBack) {
    const struct {
        const char* inner;
        const char* text;
    } cases[] = {
        {"Ajustes", "Ajustes"},
        {"Usa <code>--startup</code> y <b>listo</b>", "Usa --startup y listo"},
        {"A &amp; B &lt;c&gt; &quot;d&quot; &#39;e&#39;", "A & B <c> \"d\" 'e'"},
        {"&amp;lt; no es &lt;", "&lt; no es <"}, // decoded once, left to right
        {"&copy; queda", "&copy; queda"},        // only the five escapes are undone
        {"corte <sin cierre", "corte "},
    };
    for (const auto& c : cases)
        EXPECT_EQ(heading_text(c.inner), c.text) << c.inner;
}

struct AnchorCase {
    const char* name;
    const char* html;
    const char* anchored;
    const char* toc;
};

TEST(AnchorHeadings, Table) {
    const AnchorCase cases[] = {
        {"levels 1 to 3 get ids, only 2 and 3 make the contents",
         "<h1>Manual</h1><h2>Uno</h2><h3>Sub</h3><h2>Dos</h2>",
         R"(<h1 id="manual">Manual</h1><h2 id="uno">Uno</h2><h3 id="sub">Sub</h3><h2 id="dos">Dos</h2>)",
         R"([{"id":"uno","sub":[{"id":"sub","title":"Sub"}],"title":"Uno"},{"id":"dos","sub":[],"title":"Dos"}])"},
        {"repeated headings count up", "<h2>Pasos</h2><h2>Pasos</h2><h3>Pasos</h3>",
         R"(<h2 id="pasos">Pasos</h2><h2 id="pasos-2">Pasos</h2><h3 id="pasos-3">Pasos</h3>)",
         R"([{"id":"pasos","sub":[],"title":"Pasos"},{"id":"pasos-2","sub":[{"id":"pasos-3","title":"Pasos"}],"title":"Pasos"}])"},
        {"a counted anchor never takes one already given", "<h2>A 2</h2><h2>A</h2><h2>A</h2>",
         R"(<h2 id="a-2">A 2</h2><h2 id="a">A</h2><h2 id="a-3">A</h2>)",
         R"([{"id":"a-2","sub":[],"title":"A 2"},{"id":"a","sub":[],"title":"A"},{"id":"a-3","sub":[],"title":"A"}])"},
        {"emoji-only headings: empty anchor, then -2", "<h2>🙂</h2><h2>🎉</h2>",
         R"(<h2 id="">🙂</h2><h2 id="-2">🎉</h2>)",
         R"([{"id":"","sub":[],"title":"🙂"},{"id":"-2","sub":[],"title":"🎉"}])"},
        {"a level 3 before any level 2 is anchored but left out", "<h3>Antes</h3><h2>Luego</h2>",
         R"(<h3 id="antes">Antes</h3><h2 id="luego">Luego</h2>)",
         R"([{"id":"luego","sub":[],"title":"Luego"}])"},
        {"the title is the plain text, the inner HTML is kept", "<h2>Usa <code>a&amp;b</code></h2>",
         R"(<h2 id="usa-a-b">Usa <code>a&amp;b</code></h2>)",
         R"([{"id":"usa-a-b","sub":[],"title":"Usa a&b"}])"},
        {"levels 4 to 6 and headings with attributes stay as they are",
         R"(<h4>Cuatro</h4><h2 class="x">Con clase</h2><h6>Seis</h6>)",
         R"(<h4>Cuatro</h4><h2 class="x">Con clase</h2><h6>Seis</h6>)", "[]"},
        {"an unclosed heading ends the walk, the rest copied",
         "<p>a</p><h2>Uno</h2><h3>Sin cierre<p>b</p>",
         R"(<p>a</p><h2 id="uno">Uno</h2><h3>Sin cierre<p>b</p>)",
         R"([{"id":"uno","sub":[],"title":"Uno"}])"},
    };
    for (const auto& c : cases) {
        const Anchored a = anchor_headings(c.html);
        EXPECT_EQ(a.html, c.anchored) << c.name;
        EXPECT_EQ(a.toc.dump(), c.toc) << c.name;
    }
}

} // namespace
} // namespace kelvora::manual
