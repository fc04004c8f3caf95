// The desktop module: the Qt desktop (DesktopQt.cpp) built as a shared library of its own,
// libpellomar-desktop.so, so that the agent links none of the desktop libraries and loads them
// only when a display may be there. Internal to the POSIX desktop (Desktop.cpp).
//
// The module exports one C function, DESKTOP_MODULE_ENTRY, that hands out its table of calls.
// The agent and the module are built together from the same sources; the table carries what
// both must agree on (its own version, its size, the size of TrayDesc and the program version),
// and the agent refuses a module that differs in any of them instead of calling it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/Desktop.h"

namespace plat::deskmod {

// Raised whenever a call is added, removed or changes what it takes or gives.
constexpr uint32_t DESKTOP_MODULE_ABI = 1;

constexpr const char* DESKTOP_MODULE_FILE = "libpellomar-desktop.so";
constexpr const char* DESKTOP_MODULE_ENTRY = "pellomar_desktop_module";

// The calls of Desktop.h with a display; same contracts. `connect` tries the display (X11 first,
// then Wayland when its Qt platform plugin is installed) and, when one answers, creates the
// application object on the calling thread (the UI thread) and starts the thread that turns
// SIGTERM and SIGINT into the tray's Exit; it returns false, having created nothing, when no
// display answers. It is called once, with SIGTERM and SIGINT blocked, and the other calls only
// after it returned true.
struct DesktopModuleApi {
    uint32_t abi;           // DESKTOP_MODULE_ABI
    uint32_t tableSize;     // sizeof(DesktopModuleApi)
    uint32_t trayDescSize;  // sizeof(TrayDesc)
    const char* version;    // PELLOMAR_VERSION
    bool (*connect)();
    void (*showMessageBox)(const char* caption, const char* text, MsgBoxIcon icon);
    bool (*create)(const TrayDesc& desc);
    void (*showAbout)();
    int (*runLoop)();
    void (*quit)(int code);
};

// The module's entry: its table, or nullptr when it was built for another ABI than `abi`.
using DesktopModuleEntry = const DesktopModuleApi* (*)(uint32_t abi);

// Whether the environment variable `name` is set to something (both sides look for a display
// by DISPLAY and WAYLAND_DISPLAY).
inline bool EnvSet(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && v[0] != '\0';
}

// Loads the module and checks its table: first DESKTOP_MODULE_FILE beside the executable, then in
// `installDir`. Returns the table, or nullptr with one line in *why (e.g. "desktop module
// libpellomar-desktop.so not found (<the loader's words>)"). A module that was loaded stays
// loaded for the life of the process.
const DesktopModuleApi* LoadDesktopModule(const char* installDir, std::string* why);

}  // namespace plat::deskmod

extern "C" {
// Defined by the module; DESKTOP_MODULE_ENTRY names it.
const plat::deskmod::DesktopModuleApi* pellomar_desktop_module(uint32_t abi);
}
