#include "platform/logon_task_xml.hpp"

namespace kelvora::platform {

namespace {

// Escaped for element text; nothing when a character has no place in XML 1.0.
std::optional<std::string> text(const std::string& s) {
    std::string out;
    for (const char c : s) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t') return std::nullopt;
            out.push_back(c);
        }
    }
    return out;
}

} // namespace

std::optional<std::string> logon_task_xml(const LogonTask& task) {
    const auto program = text(task.program), arguments = text(task.arguments),
               folder = text(task.folder), description = text(task.description),
               user = text(task.user);
    if (!program || !arguments || !folder || !description || !user) return std::nullopt;
    // A task's default limit is three days: the program would be ended after running that
    // long. PT0S is none.
    return "<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">"
           "<RegistrationInfo><Description>" +
           *description +
           "</Description></RegistrationInfo>"
           "<Triggers><LogonTrigger><Enabled>true</Enabled><UserId>" +
           *user +
           "</UserId></LogonTrigger></Triggers>"
           "<Principals><Principal id=\"Author\"><UserId>" +
           *user +
           "</UserId><LogonType>InteractiveToken</LogonType><RunLevel>HighestAvailable</RunLevel>"
           "</Principal></Principals>"
           "<Settings><MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>"
           "<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>"
           "<StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>"
           "<ExecutionTimeLimit>PT0S</ExecutionTimeLimit><Enabled>true</Enabled></Settings>"
           "<Actions Context=\"Author\"><Exec><Command>" +
           *program + "</Command><Arguments>" + *arguments + "</Arguments><WorkingDirectory>" +
           *folder + "</WorkingDirectory></Exec></Actions></Task>";
}

} // namespace kelvora::platform
