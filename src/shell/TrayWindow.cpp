#include "shell/TrayWindow.h"

#include "shell/RunKey.h"
#include "shell/ShellResources.h"

std::vector<plat::TrayMenuEntry> BuildTrayMenu() {
    std::vector<plat::TrayMenuEntry> menu;
    menu.push_back({STR_MENU_RUN_AT_STARTUP, IDM_RUN_AT_STARTUP, RunKeyQuery(), false});
    menu.push_back({"", 0, false, true});
    menu.push_back({STR_MENU_REMOVE_FROM_STARTUP, IDM_REMOVE_FROM_STARTUP, !RunKeyQuery(), false});
    menu.push_back({"", 0, false, true});
    menu.push_back({STR_MENU_EXIT, IDM_EXIT, false, false});
    return menu;
}

bool TrayCommand(int command) {
    switch (command) {
        case IDM_EXIT:
            return true;
        case IDM_RUN_AT_STARTUP:
            RunKeyAdd();
            return false;
        case IDM_REMOVE_FROM_STARTUP:
            RunKeyRemove();
            return false;
        default:
            return false;
    }
}

bool CreateTrayWindow() {
    plat::TrayDesc desc;
    desc.windowTitle = STR_APP_TITLE;
    desc.windowClass = STR_WINDOW_CLASS;
    desc.tooltip = STR_TRAY_TOOLTIP;
    desc.buildMenu = &BuildTrayMenu;
    desc.onCommand = &TrayCommand;
    return plat::DesktopCreate(desc);
}
