#include "platform/tray.hpp"
#include "platform/report.hpp"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// The tray of Linux desktops: a StatusNotifierItem on the session bus, registered with the
// desktop's StatusNotifierWatcher, and its menu served as com.canonical.dbusmenu. Without
// a watcher there is no tray to show an icon in. Balloons go to the desktop's
// notification service.
namespace kelvora::platform {

namespace {

struct BusUnref {
    void operator()(sd_bus* b) const { sd_bus_flush_close_unref(b); }
};
using BusPtr = std::unique_ptr<sd_bus, BusUnref>;

struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

constexpr const char* kItemPath = "/StatusNotifierItem";
constexpr const char* kMenuPath = "/MenuBar";
constexpr const char* kTooltip = "Kelvora · soporte remoto";
constexpr int kOpenItem = 101;
constexpr int kQuitItem = 102;

TrayActions actions;

BusPtr open_user_bus() {
    sd_bus* bus = nullptr;
    const int r = sd_bus_open_user(&bus);
    if (r < 0) {
        report("[BANDEJA] sd_bus_open_user: " + std::string(std::strerror(-r)));
        return nullptr;
    }
    return BusPtr(bus);
}

bool watcher_present(sd_bus* bus) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int has = 0;
    const int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                                     "org.kde.StatusNotifierWatcher");
    MessagePtr owned(reply);
    sd_bus_error_free(&error);
    return r >= 0 && sd_bus_message_read(reply, "b", &has) >= 0 && has;
}

// --- the item ---

int item_activate(sd_bus_message* m, void*, sd_bus_error*) {
    if (actions.open) actions.open();
    return sd_bus_reply_method_return(m, "");
}

int item_ignore(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "");
}

int item_text(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply, void*,
              sd_bus_error*) {
    const char* v = "";
    if (!std::strcmp(property, "Category"))
        v = "ApplicationStatus";
    else if (!std::strcmp(property, "Id"))
        v = "kelvora";
    else if (!std::strcmp(property, "Title"))
        v = "Kelvora";
    else if (!std::strcmp(property, "Status"))
        v = "Active";
    // No IconName: no icon theme has a "kelvora", and a host that finds a name looks no
    // further; IconPixmap carries the picture.
    return sd_bus_message_append(reply, "s", v);
}

// The pictures as StatusNotifierItem wants them: width, height and the ARGB32 pixels in
// network byte order.
int item_pixmap(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                sd_bus_error*) {
    int r = sd_bus_message_open_container(reply, 'a', "(iiay)");
    for (const auto& p : actions.pictures) {
        if (r < 0) break;
        std::vector<unsigned char> bytes;
        bytes.reserve(p.argb.size() * 4);
        for (const std::uint32_t px : p.argb)
            for (int shift : {24, 16, 8, 0})
                bytes.push_back(static_cast<unsigned char>(px >> shift));
        r = sd_bus_message_open_container(reply, 'r', "iiay");
        if (r >= 0) r = sd_bus_message_append(reply, "ii", p.size, p.size);
        if (r >= 0) r = sd_bus_message_append_array(reply, 'y', bytes.data(), bytes.size());
        if (r >= 0) r = sd_bus_message_close_container(reply);
    }
    if (r >= 0) r = sd_bus_message_close_container(reply);
    return r;
}

int item_menu(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
              sd_bus_error*) {
    return sd_bus_message_append(reply, "o", kMenuPath);
}

int item_is_menu(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                 sd_bus_error*) {
    return sd_bus_message_append(reply, "b", 0);
}

int item_tooltip(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                 sd_bus_error*) {
    return sd_bus_message_append(reply, "(sa(iiay)ss)", "", 0, "Kelvora", kTooltip);
}

const sd_bus_vtable item_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Category", "s", item_text, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Id", "s", item_text, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Title", "s", item_text, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Status", "s", item_text, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("IconName", "s", item_text, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("IconPixmap", "a(iiay)", item_pixmap, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("ToolTip", "(sa(iiay)ss)", item_tooltip, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("ItemIsMenu", "b", item_is_menu, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Menu", "o", item_menu, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("Activate", "ii", "", item_activate, 0),
    SD_BUS_METHOD("SecondaryActivate", "ii", "", item_activate, 0),
    SD_BUS_METHOD("ContextMenu", "ii", "", item_ignore, 0),
    SD_BUS_METHOD("Scroll", "is", "", item_ignore, 0),
    SD_BUS_VTABLE_END,
};

// --- its menu: "Abrir Kelvora", a separator, "Salir" ---

int append_entry(sd_bus_message* m, int id, const char* key, const char* value) {
    int r = sd_bus_message_open_container(m, 'v', "(ia{sv}av)");
    if (r >= 0) r = sd_bus_message_open_container(m, 'r', "ia{sv}av");
    if (r >= 0) r = sd_bus_message_append(m, "i", id);
    if (r >= 0) r = sd_bus_message_append(m, "a{sv}", 1, key, "s", value);
    if (r >= 0) r = sd_bus_message_append(m, "av", 0);
    if (r >= 0) r = sd_bus_message_close_container(m);
    if (r >= 0) r = sd_bus_message_close_container(m);
    return r;
}

int menu_layout(sd_bus_message* m, void*, sd_bus_error*) {
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(m, &reply);
    if (r < 0) return r;
    MessagePtr owned(reply);
    r = sd_bus_message_append(reply, "u", 1u);
    if (r >= 0) r = sd_bus_message_open_container(reply, 'r', "ia{sv}av");
    if (r >= 0)
        r = sd_bus_message_append(reply, "ia{sv}", 0, 1, "children-display", "s", "submenu");
    if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "v");
    if (r >= 0) r = append_entry(reply, kOpenItem, "label", "Abrir Kelvora");
    if (r >= 0) r = append_entry(reply, 1, "type", "separator");
    if (r >= 0) r = append_entry(reply, kQuitItem, "label", "Salir");
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r < 0) return r;
    return sd_bus_send(nullptr, reply, nullptr);
}

int menu_event(sd_bus_message* m, void*, sd_bus_error*) {
    int id = 0;
    const char* event = nullptr;
    int r = sd_bus_message_read(m, "is", &id, &event);
    if (r < 0) return r;
    r = sd_bus_reply_method_return(m, "");
    if (event && !std::strcmp(event, "clicked")) {
        if (id == kOpenItem && actions.open) actions.open();
        if (id == kQuitItem && actions.quit) actions.quit();
    }
    return r;
}

int menu_about_to_show(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "b", 0);
}

int menu_version(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                 sd_bus_error*) {
    return sd_bus_message_append(reply, "u", 3u);
}

int menu_text(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply, void*,
              sd_bus_error*) {
    return sd_bus_message_append(reply, "s", std::strcmp(property, "Status") ? "ltr" : "normal");
}

const sd_bus_vtable menu_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Version", "u", menu_version, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("TextDirection", "s", menu_text, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Status", "s", menu_text, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("GetLayout", "iias", "u(ia{sv}av)", menu_layout, 0),
    SD_BUS_METHOD("Event", "isvu", "", menu_event, 0),
    SD_BUS_METHOD("AboutToShow", "i", "b", menu_about_to_show, 0),
    SD_BUS_VTABLE_END,
};

} // namespace

bool run_tray(const TrayActions& a) {
    if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) return false;
    BusPtr bus = open_user_bus();
    if (!bus || !watcher_present(bus.get())) return false;
    actions = a;
    const std::string name = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1";
    int r = sd_bus_add_object_vtable(bus.get(), nullptr, kItemPath, "org.kde.StatusNotifierItem",
                                     item_vtable, nullptr);
    if (r >= 0)
        r = sd_bus_add_object_vtable(bus.get(), nullptr, kMenuPath, "com.canonical.dbusmenu",
                                     menu_vtable, nullptr);
    if (r >= 0) r = sd_bus_request_name(bus.get(), name.c_str(), 0);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (r >= 0)
        r = sd_bus_call_method(bus.get(), "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                               "org.kde.StatusNotifierWatcher", "RegisterStatusNotifierItem",
                               &error, nullptr, "s", name.c_str());
    sd_bus_error_free(&error);
    if (r < 0) {
        report("[BANDEJA] no se pudo registrar el icono: " + std::string(std::strerror(-r)));
        return false;
    }
    for (;;) {
        r = sd_bus_process(bus.get(), nullptr);
        if (r < 0) return true; // the session bus went away: the icon with it
        if (r == 0) sd_bus_wait(bus.get(), UINT64_MAX);
    }
}

void tray_notify(const std::string& title, const std::string& text) {
    // A connection of its own: the item's connection belongs to the tray thread.
    if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) return;
    BusPtr bus = open_user_bus();
    if (!bus) return;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_call_method(bus.get(), "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                       "org.freedesktop.Notifications", "Notify", &error, nullptr, "susssasa{sv}i",
                       "Kelvora", 0u, "kelvora", title.c_str(), text.c_str(), 0, 0, -1);
    sd_bus_error_free(&error);
}

// The icon goes with the process: the bus drops its name when the program ends.
void tray_remove() {}

} // namespace kelvora::platform
