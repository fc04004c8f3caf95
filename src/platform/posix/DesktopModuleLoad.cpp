// Finding, loading and checking the desktop module.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstring>
#include <utility>

#include "platform/HostPaths.h"
#include "platform/posix/DesktopModule.h"

namespace plat::deskmod {

namespace {

// A loaded shared object, unloaded again when it is let go unless it is kept.
class LoadedObject {
  public:
    explicit LoadedObject(const std::string& path)
        : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
    ~LoadedObject() {
        if (handle_ != nullptr) dlclose(handle_);
    }
    LoadedObject(const LoadedObject&) = delete;
    LoadedObject& operator=(const LoadedObject&) = delete;

    bool Loaded() const { return handle_ != nullptr; }
    void* Symbol(const char* name) const { return dlsym(handle_, name); }
    // Leaves the object loaded for the life of the process.
    void Keep() { handle_ = nullptr; }

  private:
    void* handle_;
};

// The loader's account of its last failure.
std::string LoaderError() {
    const char* e = dlerror();
    return e != nullptr ? e : "no reason given";
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::string ExecutableDir() {
    char exe[SRV_PATH_MAX];
    if (!GetExecutablePath(exe, sizeof exe)) return "";
    const char* slash = std::strrchr(exe, '/');
    if (slash == nullptr) return "";
    return std::string(exe, static_cast<size_t>(slash - exe));
}

// Why the module's table cannot be used, or nullptr when it can.
const char* Misfit(const DesktopModuleApi* api) {
    if (api == nullptr || api->abi != DESKTOP_MODULE_ABI) return "another module interface";
    if (api->tableSize != sizeof(DesktopModuleApi) || api->trayDescSize != sizeof(TrayDesc))
        return "another layout of its calls";
    if (api->version == nullptr || std::strcmp(api->version, PELLOMAR_VERSION) != 0)
        return "another version";
    if (api->connect == nullptr || api->showMessageBox == nullptr || api->create == nullptr ||
        api->showAbout == nullptr || api->runLoop == nullptr || api->quit == nullptr)
        return "calls missing";
    return nullptr;
}

}  // namespace

const DesktopModuleApi* LoadDesktopModule(const char* installDir, std::string* why) {
    const std::string dirs[] = {ExecutableDir(), installDir != nullptr ? installDir : ""};
    std::string notFound;
    for (const std::string& dir : dirs) {
        if (dir.empty()) continue;
        const std::string path = dir + "/" + DESKTOP_MODULE_FILE;
        LoadedObject module(path);
        if (!module.Loaded()) {
            std::string err = LoaderError();
            // There but unusable (a library it needs is missing, a broken file): said as such,
            // and the next folder is not tried, so that the broken install gets noticed.
            if (FileExists(path)) {
                *why = "desktop module " + path + " cannot be loaded (" + err + ")";
                return nullptr;
            }
            notFound += (notFound.empty() ? "" : "; ") + err;
            continue;
        }
        void* symbol = module.Symbol(DESKTOP_MODULE_ENTRY);
        if (symbol == nullptr) {
            *why = "desktop module " + path + " has no entry (" + LoaderError() + ")";
            return nullptr;
        }
        auto entry = reinterpret_cast<DesktopModuleEntry>(symbol);
        const DesktopModuleApi* api = entry(DESKTOP_MODULE_ABI);
        if (const char* misfit = Misfit(api)) {
            *why = "desktop module " + path + " does not fit this agent (" + misfit + ")";
            return nullptr;
        }
        module.Keep();
        return api;
    }
    *why = std::string("desktop module ") + DESKTOP_MODULE_FILE + " not found (" + notFound + ")";
    return nullptr;
}

}  // namespace plat::deskmod
