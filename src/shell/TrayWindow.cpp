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
        case IDM_ABOUT:
            plat::DesktopShowAbout();
            return false;
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

plat::TrayDesc TrayWindowDesc() {
    plat::TrayDesc desc;
    desc.windowTitle = STR_APP_TITLE;
    desc.windowClass = STR_WINDOW_CLASS;
    desc.windowWidth = HIDDEN_WINDOW_WIDTH;
    desc.windowHeight = HIDDEN_WINDOW_HEIGHT;
    desc.classMenu = {
        {STR_MENU_FILE, {{STR_MENU_FILE_EXIT, IDM_EXIT, false, false}}},
        {STR_MENU_HELP, {{STR_MENU_HELP_ABOUT, IDM_ABOUT, false, false}}},
    };
    desc.accelerators = {{ACCEL_ABOUT_KEY_1, true, IDM_ABOUT},
                         {ACCEL_ABOUT_KEY_2, true, IDM_ABOUT}};
    for (const ShellIconPng& png : SHELL_ICON_PNGS)
        desc.iconImages.push_back({png.iSize, png.pData, png.lLen});
    desc.tooltip = STR_TRAY_TOOLTIP;
    desc.about = {STR_ABOUT_CAPTION, STR_ABOUT_TEXT, STR_ABOUT_OK, ABOUT_WIDTH_CHARS,
                  ABOUT_HEIGHT_LINES};
    desc.buildMenu = &BuildTrayMenu;
    desc.onCommand = &TrayCommand;
    return desc;
}

bool CreateTrayWindow() {
    return plat::DesktopCreate(TrayWindowDesc());
}
