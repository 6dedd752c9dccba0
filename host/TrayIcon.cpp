#include "host/TrayIcon.h"

#include <dlfcn.h>

#include <future>
#include <thread>

#include "host/TrayActions.h"
#include "platform/MessageBox.h"

namespace zk::tray {
namespace {

// The few GLib, GTK and indicator entry points used, declared here rather
// than from their -dev headers: the libraries are optional at run time and
// only these stable C functions are called.
using GtkWidget = void;
using GCallback = void (*)();
using GSourceFunc = int (*)(void*);
struct Api {
    int (*gtk_init_check)(int*, char***);
    GtkWidget* (*gtk_menu_new)();
    GtkWidget* (*gtk_menu_item_new_with_label)(const char*);
    GtkWidget* (*gtk_separator_menu_item_new)();
    void (*gtk_menu_shell_append)(void*, GtkWidget*);
    void (*gtk_widget_show_all)(GtkWidget*);
    void (*gtk_main)();
    void (*gtk_main_quit)();
    unsigned long (*g_signal_connect_data)(void*, const char*, GCallback, void*, void*, int);
    unsigned (*g_idle_add)(GSourceFunc, void*);
    void* (*app_indicator_new)(const char*, const char*, int);
    void (*app_indicator_set_status)(void*, int);
    void (*app_indicator_set_menu)(void*, void*);
    void (*app_indicator_set_title)(void*, const char*);
    void (*app_indicator_set_secondary_activate_target)(void*, GtkWidget*);
};
constexpr int kCategoryApplicationStatus = 0;
constexpr int kStatusActive = 1;

template <class F>
bool Bind(void* lib, const char* name, F& out) {
    out = reinterpret_cast<F>(dlsym(lib, name));
    return out != nullptr;
}

// The libraries stay loaded once opened: GTK cannot be unloaded safely.
bool Load(Api& a, std::string& why) {
    void* indicator = dlopen("libayatana-appindicator3.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!indicator) {
        why = "libayatana-appindicator3.so.1 not loaded";
        return false;
    }
    // GTK and GLib are the indicator's own dependencies: found through its handle.
    bool ok = Bind(indicator, "gtk_init_check", a.gtk_init_check) && Bind(indicator, "gtk_menu_new", a.gtk_menu_new) &&
              Bind(indicator, "gtk_menu_item_new_with_label", a.gtk_menu_item_new_with_label) &&
              Bind(indicator, "gtk_separator_menu_item_new", a.gtk_separator_menu_item_new) &&
              Bind(indicator, "gtk_menu_shell_append", a.gtk_menu_shell_append) &&
              Bind(indicator, "gtk_widget_show_all", a.gtk_widget_show_all) && Bind(indicator, "gtk_main", a.gtk_main) &&
              Bind(indicator, "gtk_main_quit", a.gtk_main_quit) &&
              Bind(indicator, "g_signal_connect_data", a.g_signal_connect_data) &&
              Bind(indicator, "g_idle_add", a.g_idle_add) && Bind(indicator, "app_indicator_new", a.app_indicator_new) &&
              Bind(indicator, "app_indicator_set_status", a.app_indicator_set_status) &&
              Bind(indicator, "app_indicator_set_menu", a.app_indicator_set_menu) &&
              Bind(indicator, "app_indicator_set_title", a.app_indicator_set_title) &&
              Bind(indicator, "app_indicator_set_secondary_activate_target", a.app_indicator_set_secondary_activate_target);
    if (!ok) why = "the indicator library lacks a function";
    return ok;
}

Api g_api;
std::thread g_thread;
std::function<void(int)> g_onCommand;

void OnActivate(void*, void* command) { g_onCommand(static_cast<int>(reinterpret_cast<intptr_t>(command))); }

int Quit(void*) {
    g_api.gtk_main_quit();
    return 0;  // once
}

// Runs on the icon's thread: builds the menu and the indicator, then GTK's loop.
void IconThread(std::string iconPath, std::promise<std::string> started) {
    if (!g_api.gtk_init_check(nullptr, nullptr)) {
        started.set_value("the display cannot be opened");
        return;
    }
    GtkWidget* menu = g_api.gtk_menu_new();
    GtkWidget* about = nullptr;
    for (const MenuItem& item : Menu()) {
        GtkWidget* entry = item.command ? g_api.gtk_menu_item_new_with_label(item.label) : g_api.gtk_separator_menu_item_new();
        if (item.command) {
            g_api.g_signal_connect_data(entry, "activate", reinterpret_cast<GCallback>(OnActivate),
                                        reinterpret_cast<void*>(static_cast<intptr_t>(item.command)), nullptr, 0);
            if (!about) about = entry;  // the default item also answers the icon's secondary click
        }
        g_api.gtk_menu_shell_append(menu, entry);
    }
    g_api.gtk_widget_show_all(menu);
    void* indicator = g_api.app_indicator_new("zelkorh", iconPath.c_str(), kCategoryApplicationStatus);
    g_api.app_indicator_set_title(indicator, ProductTitle());
    g_api.app_indicator_set_menu(indicator, menu);
    g_api.app_indicator_set_secondary_activate_target(indicator, about);
    g_api.app_indicator_set_status(indicator, kStatusActive);
    started.set_value("");
    g_api.gtk_main();
}

}  // namespace

bool ShowTrayIcon(const std::string& iconPath, std::function<void(int)> onCommand, std::string* why) {
    std::string reason;
    if (g_thread.joinable()) return true;
    if (!DesktopSession()) {
        reason = "no desktop session";
    } else if (Load(g_api, reason)) {
        g_onCommand = std::move(onCommand);
        std::promise<std::string> started;
        std::future<std::string> result = started.get_future();
        g_thread = std::thread(IconThread, iconPath, std::move(started));
        reason = result.get();
        if (!reason.empty()) g_thread.join();
    }
    if (why) *why = reason;
    return reason.empty();
}

void RemoveTrayIcon() {
    if (!g_thread.joinable()) return;
    g_api.g_idle_add(Quit, nullptr);  // GTK's loop ends on its own thread
    g_thread.join();
}

}  // namespace zk::tray
