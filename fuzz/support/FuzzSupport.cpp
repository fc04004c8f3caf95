#include "support/FuzzSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

namespace fuzz {

namespace {

std::mutex g_foldersLock;
std::vector<std::string>* g_folders = nullptr;

void RemoveFolders() {
    std::lock_guard<std::mutex> lock(g_foldersLock);
    if (g_folders == nullptr) return;
    for (const std::string& f : *g_folders) {
        std::error_code ec;
        std::filesystem::remove_all(f, ec);
    }
    g_folders->clear();
}

}  // namespace

void CheckFailed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "FUZZ_CHECK failed: %s (%s:%d)\n", what, file, line);
    std::fflush(stderr);
    std::abort();
}

std::string MakeTempFolder(const char* tag) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
                          "/pellomar-fuzz-" + tag + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    std::string dir(buf.data());
    std::lock_guard<std::mutex> lock(g_foldersLock);
    if (g_folders == nullptr) {
        g_folders = new std::vector<std::string>;
        std::atexit(&RemoveFolders);
    }
    g_folders->push_back(dir);
    return dir;
}

bool WriteFileBytes(const std::string& path, const uint8_t* data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = true;
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n <= 0) {
            ok = false;
            break;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return close(fd) == 0 && ok;
}

void SilenceStdout() {
    std::fflush(stdout);
    int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    dup2(fd, STDOUT_FILENO);
    close(fd);
}

}  // namespace fuzz
