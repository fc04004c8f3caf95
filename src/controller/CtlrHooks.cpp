#include "controller/CtlrHooks.h"

#include <atomic>

namespace {
std::atomic<const CtlrHooks*> g_hooks{nullptr};
}  // namespace

void SetCtlrHooks(const CtlrHooks* hooks) {
    g_hooks.store(hooks);
}

void RunCtlrRenumberedHook(uint8_t n) {
    const CtlrHooks* h = g_hooks.load();
    if (h != nullptr && h->pCtlrRenumbered != nullptr) h->pCtlrRenumbered(n);
}

void RunCtlrClearedHook(uint8_t n) {
    const CtlrHooks* h = g_hooks.load();
    if (h != nullptr && h->pCtlrCleared != nullptr) h->pCtlrCleared(n);
}
