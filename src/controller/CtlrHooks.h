// What the controller subsystem tells the layers above it: a controller number that now names
// another unit (after a rescan) or none (after a clearing). The program connects these to the
// event history at start-up (app/SubsystemHooks); unset hooks do nothing.
#pragma once

#include <cstdint>

struct CtlrHooks {
    // A rescan has just recorded a unit as number n: its recorded history is to be loaded.
    void (*pCtlrRenumbered)(uint8_t n);
    // Number n is about to be cleared from the table: its recorded history is to be forgotten.
    void (*pCtlrCleared)(uint8_t n);
};

// Sets the hooks (nullptr: none). `hooks` must outlive its use; set it before any rescan or
// relay runs.
void SetCtlrHooks(const CtlrHooks* hooks);

// Run the hook, when one is set. Called with the controller's channel held.
void RunCtlrRenumberedHook(uint8_t n);
void RunCtlrClearedHook(uint8_t n);
