// Replacing a file whole through a temporary one, on real files.
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/FileSync.h"
#include "support/TestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// What stands at the path before the call.
enum class Before { Nothing, File, Folder, NoParentFolder };

struct Case {
    const char* what;
    Before before;
    bool staleTemp;  // a temporary of an earlier run is left at the temporary's name
    bool writerOk;   // what the content writer returns
    plat::Durability durability;
    const char* temp;  // the temporary's name in the folder; nullptr: "<name>.tmp"
    bool ok;           // the call's result
};

size_t EntriesIn(const std::string& dir) {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        (void)e;
        ++n;
    }
    return n;
}

TEST(WriteFileAtomically, PutsTheNewFileInPlaceOrLeavesTheOldOneWholeAndNoTemporary) {
    using plat::Durability;
    const Case cases[] = {
        {"a new file", Before::Nothing, false, true, Durability::None, nullptr, true},
        {"replaces, flushed", Before::File, true, true, Durability::Flush, nullptr, true},
        {"replaces through a named temporary", Before::File, true, true, Durability::None,
         ".entry.part", true},
        {"the writer fails", Before::File, false, false, Durability::Flush, nullptr, false},
        {"the writer fails, no file before", Before::Nothing, false, false, Durability::None,
         nullptr, false},
        {"the replacement fails: a folder in the file's place", Before::Folder, false, true,
         Durability::Flush, nullptr, false},
        {"no temporary can be made: no folder", Before::NoParentFolder, false, true,
         Durability::Flush, nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string folder =
            c.before == Before::NoParentFolder ? dir.File("gone") : dir.path();
        const std::string path = folder + "/entry";
        const std::string temp = folder + "/" + (c.temp != nullptr ? c.temp : "entry.tmp");
        if (c.before == Before::File) {
            ASSERT_TRUE(WriteFile(path, "old content"));
        }
        if (c.before == Before::Folder) {
            ASSERT_TRUE(fs::create_directory(path));
            ASSERT_TRUE(WriteFile(path + "/inside", "kept"));
        }
        if (c.staleTemp) {
            ASSERT_TRUE(WriteFile(temp, "stale temporary, longer than the new"));
        }

        std::string seenWhileWriting;
        bool ok = plat::WriteFileAtomically(
            path.c_str(),
            [&](std::FILE* f) {
                seenWhileWriting = ReadFile(path);
                return std::fputs("new content", f) >= 0 && c.writerOk;
            },
            c.durability, c.temp != nullptr ? temp.c_str() : nullptr);
        EXPECT_EQ(ok, c.ok);

        // The file itself is not touched while the content is written.
        if (c.before == Before::File) {
            EXPECT_EQ(seenWhileWriting, "old content");
        }
        if (c.ok) {
            EXPECT_EQ(ReadFile(path), "new content");
        } else if (c.before == Before::File) {
            EXPECT_EQ(ReadFile(path), "old content");
        } else if (c.before == Before::Folder) {
            EXPECT_TRUE(fs::is_directory(path));
            EXPECT_EQ(ReadFile(path + "/inside"), "kept");
        } else {
            EXPECT_FALSE(fs::exists(path));
        }
        // No temporary is left behind: only the file, or what stood in its place.
        EXPECT_FALSE(fs::exists(temp));
        if (c.before != Before::NoParentFolder) {
            EXPECT_EQ(EntriesIn(folder), c.ok || c.before != Before::Nothing ? 1u : 0u);
        }
    }
}

}  // namespace
