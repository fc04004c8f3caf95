// Start-with-the-system registration as an XDG autostart entry.
#include "platform/StartupReg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/FileSync.h"

namespace plat {

namespace {

constexpr size_t STARTUP_READ_CAP = 8192;
constexpr const char* DEFAULT_CONFIG_DIR = "/etc/xdg";

// The autostart folder: "<first absolute directory of $XDG_CONFIG_DIRS>/autostart". Relative
// entries are not valid there and are skipped; with none left the default applies.
std::string AutostartDir() {
    std::string dir;
    const char* dirs = std::getenv("XDG_CONFIG_DIRS");
    if (dirs != nullptr) {
        for (const char* p = dirs; *p != '\0';) {
            const char* end = std::strchr(p, ':');
            size_t n = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
            if (n > 0 && p[0] == '/') {
                dir.assign(p, n);
                break;
            }
            if (end == nullptr) break;
            p = end + 1;
        }
    }
    if (dir.empty()) dir = DEFAULT_CONFIG_DIR;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    if (dir != "/") dir += '/';
    return dir + "autostart";
}

std::string EntryPath(const char* name) {
    return AutostartDir() + "/" + name + ".desktop";
}

bool IsDir(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Parent(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

// Creates `dir` and the folders above it that are missing (mode 0755).
bool MakeDirs(const std::string& dir) {
    if (IsDir(dir)) return true;
    if (dir == "/") return false;
    if (!MakeDirs(Parent(dir))) return false;
    return mkdir(dir.c_str(), 0755) == 0 || (errno == EEXIST && IsDir(dir));
}

// True when `s` is valid UTF-8 without control characters: what a desktop entry's value may hold.
bool EntryText(const char* s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    while (*p != 0) {
        unsigned c = *p;
        if (c < 0x20 || c == 0x7F) return false;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int more;
        unsigned min;
        if ((c & 0xE0) == 0xC0) {
            more = 1;
            min = 0x80;
            c &= 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2;
            min = 0x800;
            c &= 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3;
            min = 0x10000;
            c &= 0x07;
        } else {
            return false;
        }
        ++p;
        for (int i = 0; i < more; ++i, ++p) {
            if ((*p & 0xC0) != 0x80) return false;
            c = (c << 6) | (*p & 0x3F);
        }
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    }
    return true;
}

// The Exec value that runs `path` with no arguments. The path is one quoted argument: inside the
// quotes '"', '`', '$' and '\' take a backslash, and '%' (field codes) is doubled. The key-file
// layer below it reads "\\" as one backslash, so every backslash of that result is doubled once
// more: a literal backslash becomes four, a '$' becomes "\\$".
std::string ExecValue(const char* path) {
    std::string quoted = "\"";
    for (const char* p = path; *p != '\0'; ++p) {
        char c = *p;
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        else if (c == '%')
            quoted += '%';
        quoted += c;
    }
    quoted += '"';
    std::string value;
    for (char c : quoted) {
        if (c == '\\') value += '\\';
        value += c;
    }
    return value;
}

}  // namespace

bool StartupKeyOpen() {
    std::string dir = AutostartDir();
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    // Missing: it can be made when the nearest existing folder above it takes new entries.
    std::string up = Parent(dir);
    while (stat(up.c_str(), &st) != 0) {
        if (errno != ENOENT || up == "/") return false;
        up = Parent(up);
    }
    return S_ISDIR(st.st_mode) && access(up.c_str(), W_OK | X_OK) == 0;
}

bool StartupValueExists(const char* name) {
    std::string path = EntryPath(name);
    // O_NONBLOCK: a FIFO of that name must not hang the UI thread.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char buf[STARTUP_READ_CAP];
    size_t got = 0;
    while (ok && got < sizeof buf) {
        ssize_t n = read(fd, buf + got, sizeof buf - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    return ok;
}

bool StartupValueWrite(const char* name, const char* exePath) {
    if (exePath == nullptr || exePath[0] != '/' || !EntryText(exePath) || !EntryText(name))
        return false;
    std::string dir = AutostartDir();
    if (!MakeDirs(dir)) return false;
    std::string entry = std::string("[Desktop Entry]\n") + "Type=Application\n" + "Name=" + name +
                        "\n" + "Exec=" + ExecValue(exePath) + "\n" + "Terminal=false\n";

    // Through a hidden temporary file that desktop sessions do not read as an entry.
    std::string path = EntryPath(name);
    std::string temp = dir + "/." + name + ".desktop.tmp";
    return WriteFileAtomically(
        path.c_str(),
        [&entry](std::FILE* f) {
            // Autostart entries are read by every user's session.
            return fchmod(fileno(f), 0644) == 0 &&
                   std::fwrite(entry.data(), 1, entry.size(), f) == entry.size();
        },
        Durability::Flush, temp.c_str());
}

bool StartupValueDelete(const char* name) {
    std::string path = EntryPath(name);
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace plat
