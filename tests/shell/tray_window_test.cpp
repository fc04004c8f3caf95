// The tray window's description: menu, commands, texts and the embedded icon.
#include <cstring>

#include "platform/win32/DesktopResources.h"
#include "shell/ShellResources.h"
#include "shell/TrayWindow.h"
#include "support/TestSupport.h"

namespace {

uint32_t Be32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

TEST(TrayWindow, PopupMenuEntriesInOrder) {
    setenv("XDG_CONFIG_DIRS", "/nonexistent-pellomar-test", 1);
    std::vector<plat::TrayMenuEntry> m = BuildTrayMenu();
    ASSERT_EQ(m.size(), 5u);
    EXPECT_EQ(m[0].text, "Run at Windows Startup");
    EXPECT_EQ(m[0].command, 107);
    EXPECT_TRUE(m[1].separator);
    EXPECT_EQ(m[2].text, "Remove from Windows Startup");
    EXPECT_EQ(m[2].command, 108);
    EXPECT_TRUE(m[3].separator);
    EXPECT_EQ(m[4].text, " Exit ");
    EXPECT_EQ(m[4].command, 105);
    EXPECT_FALSE(m[4].checked);
    EXPECT_NE(m[0].checked, m[2].checked);
}

TEST(TrayWindow, OnlyExitEndsTheDesktop) {
    EXPECT_TRUE(TrayCommand(IDM_EXIT));
    EXPECT_FALSE(TrayCommand(IDM_ABOUT));  // headless: no box
    for (int other : {0, 1, 2, 103, 106, 109, 128, 1025, -1})
        EXPECT_FALSE(TrayCommand(other)) << other;
}

TEST(TrayWindow, DescriptionCarriesTheResources) {
    plat::TrayDesc d = TrayWindowDesc();
    EXPECT_EQ(d.windowTitle, "Pellomar");
    EXPECT_EQ(d.windowClass, "PELLOMAR");
    EXPECT_EQ(d.tooltip, "Tavenu RAID Manager Server v3.7.1");
    // The Windows tray icon's id and notification message.
    EXPECT_EQ(TRAY_ICON_ID, 128u);
    EXPECT_EQ(WM_TRAY_NOTIFY, 1025u);
    EXPECT_EQ(d.about.caption, "About");
    EXPECT_EQ(d.about.text, "Pellomar Version 1.0");
    EXPECT_EQ(d.about.okText, "OK");
    // As large as the Windows dialog template (a character is four dialog units wide, a line
    // eight high).
    EXPECT_EQ(d.about.minWidthChars * 4, ABOUT_WIDTH_DLU);
    EXPECT_EQ(d.about.minHeightLines * 8, ABOUT_HEIGHT_DLU);
    ASSERT_EQ(d.classMenu.size(), 2u);
    EXPECT_EQ(d.classMenu[0].text, "&File");
    ASSERT_EQ(d.classMenu[0].entries.size(), 1u);
    EXPECT_EQ(d.classMenu[0].entries[0].text, "E&xit");
    EXPECT_EQ(d.classMenu[0].entries[0].command, 105);
    EXPECT_EQ(d.classMenu[1].text, "&Help");
    ASSERT_EQ(d.classMenu[1].entries.size(), 1u);
    EXPECT_EQ(d.classMenu[1].entries[0].text, "&About ...");
    EXPECT_EQ(d.classMenu[1].entries[0].command, 104);
    ASSERT_EQ(d.accelerators.size(), 2u);
    for (const plat::Accelerator& a : d.accelerators) {
        EXPECT_TRUE(a.blAlt);
        EXPECT_EQ(a.command, 104);
    }
    EXPECT_EQ(d.accelerators[0].cKey, '?');
    EXPECT_EQ(d.accelerators[1].cKey, '/');
}

// The embedded pictures are the five PNGs, largest first, 8-bit RGBA, each as large as it says.
TEST(TrayWindow, IconHasFiveRgbaPngSizes) {
    plat::TrayDesc d = TrayWindowDesc();
    const int sizes[] = {128, 64, 48, 32, 16};
    ASSERT_EQ(d.iconImages.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        const plat::IconImage& img = d.iconImages[i];
        SCOPED_TRACE(img.iSize);
        EXPECT_EQ(img.iSize, sizes[i]);
        ASSERT_GT(img.lPngLen, 33u);
        EXPECT_EQ(std::memcmp(img.pPng, "\x89PNG\r\n\x1a\n", 8), 0);
        EXPECT_EQ(std::memcmp(img.pPng + 12, "IHDR", 4), 0);
        EXPECT_EQ(Be32(img.pPng + 16), static_cast<uint32_t>(sizes[i]));  // width
        EXPECT_EQ(Be32(img.pPng + 20), static_cast<uint32_t>(sizes[i]));  // height
        EXPECT_EQ(img.pPng[24], 8);                                       // bits per channel
        EXPECT_EQ(img.pPng[25], 6);                                       // RGBA
        EXPECT_EQ(std::memcmp(img.pPng + img.lPngLen - 8, "IEND", 4), 0);
        // The same bytes as the picture kept in the repository.
        std::string file = testing_support::ReadFile(testing_support::SourcePath(
            "src/shell/icons/pellomar-" + std::to_string(sizes[i]) + ".png"));
        EXPECT_EQ(file, std::string(reinterpret_cast<const char*>(img.pPng), img.lPngLen));
    }
}

}  // namespace
