#include "packaging/texts/man_page.hpp"

#include "base/version.hpp"
#include "packaging/texts/roff.hpp"

namespace kelvora::packaging {

namespace {

struct Option {
    const char* synopsis; // roff
    const char* en;
    const char* es;
};

// The options a person types; the ones the updater hands a new copy are left out.
constexpr Option kOptions[] = {
    {".B \\-\\-version", "Print the version and build date, then exit.",
     "Muestra la versión y la fecha de compilación y termina."},
    {".B \\-\\-no\\-window",
     "Open no app window: Kelvora serves its page on 127.0.0.1 until it is told to exit.",
     "No abre la ventana: Kelvora sirve su página en 127.0.0.1 hasta que se le pide salir."},
    {".B \\-\\-no\\-tray", "Show no icon in the system tray.",
     "No pone icono en la bandeja del sistema."},
    {".B \\-\\-startup", "Start as the session's autostart entry does: the window opens minimized.",
     "Arranca como lo hace el inicio de sesión: la ventana se abre minimizada."},
    {".BI \\-\\-autostart \" on\\fR|\\fPoff\"",
     "Turn opening Kelvora when the user signs in on or off, then exit.",
     "Activa o desactiva que Kelvora se abra al iniciar sesión y termina."},
    {".B \\-\\-cleanup",
     "Restore a screen resolution Kelvora left changed, remove its shortcuts and its autostart "
     "entry, then exit.",
     "Devuelve la resolución de pantalla que Kelvora dejó cambiada, quita sus accesos directos y "
     "su inicio automático, y termina."},
    {".B \\-\\-uninstall",
     "Ask, then remove Kelvora's shortcuts, autostart entry and data; a packaged copy is removed "
     "with the package manager.",
     "Pregunta y quita los accesos directos, el inicio automático y los datos de Kelvora; una "
     "copia instalada con paquete se quita con el gestor de paquetes."},
};

struct Words {
    const char *name, *synopsis, *description, *options, *files, *environment, *see_also;
    const char *summary, *data, *server_variable;
};

constexpr Words kEnglish{
    "NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "FILES", "ENVIRONMENT", "SEE ALSO",
    "remote support: get help on this PC and give help to other PCs",
    "The data folder: settings (\\fIkelvora.ini\\fP), the log (\\fIkelvora.log\\fP), this "
    "PC's ID and access password, recent connections and the session history. "
    "\\fI$LOCALAPPDATA/Kelvora/data\\fP instead when \\fBLOCALAPPDATA\\fP is set.",
    "The address of the signalling server, instead of the one in the settings."};

constexpr Words kSpanish{
    "NOMBRE", "SINOPSIS", "DESCRIPCIÓN", "OPCIONES", "ARCHIVOS", "ENTORNO", "VÉASE TAMBIÉN",
    "soporte remoto: recibir ayuda en esta PC y dar ayuda a otras PCs",
    "La carpeta de datos: ajustes (\\fIkelvora.ini\\fP), registro (\\fIkelvora.log\\fP), el ID "
    "y la contraseña de acceso de esta PC, las conexiones recientes y el historial de "
    "sesiones. \\fI$LOCALAPPDATA/Kelvora/data\\fP cuando \\fBLOCALAPPDATA\\fP está definida.",
    "La dirección del servidor de señalización, en lugar de la de los ajustes."};

} // namespace

std::string kelvora_man_page(std::string_view lang, std::string_view manual) {
    const bool en = lang == "en";
    const Words& w = en ? kEnglish : kSpanish;
    const RoffManual body = markdown_to_roff(manual);
    std::string out = "'\\\" -*- coding: UTF-8 -*-\n";
    out += std::string(".TH KELVORA 1 ") + kBuildDate + " \"Kelvora " + kVersion + "\" Kelvora\n";
    out += std::string(".SH ") + w.name + "\nkelvora \\- " + w.summary + "\n";
    out += std::string(".SH ") + w.synopsis + "\n";
    out += ".B kelvora\n.RB [ \\-\\-no\\-window ]\n.RB [ \\-\\-no\\-tray ]\n.RB [ \\-\\-startup ]\n";
    for (const char* action : {"\\-\\-version", "\\-\\-autostart on\\fR|\\fBoff",
                               "\\-\\-cleanup", "\\-\\-uninstall"})
        out += std::string(".br\n.B kelvora ") + action + "\n";
    out += std::string(".SH \"") + w.description + "\"\n" + body.intro;
    out += std::string(".SH ") + w.options + "\n";
    for (const auto& o : kOptions)
        out += std::string(".TP\n") + o.synopsis + "\n" + roff_text(en ? o.en : o.es) + "\n";
    out += std::string(".SH ") + w.files + "\n.TP\n.I ~/.local/share/Kelvora/data\n" + w.data + "\n";
    out += std::string(".SH ") + w.environment + "\n.TP\n.B TRV_SERVER\n" + w.server_variable + "\n";
    out += body.sections;
    out += std::string(".SH \"") + w.see_also + "\"\n.BR chromium (1)\n";
    return out;
}

} // namespace kelvora::packaging
