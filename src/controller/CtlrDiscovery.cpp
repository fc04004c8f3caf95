#include "controller/CtlrDiscovery.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>

#include "base/ServerLog.h"
#include "controller/CtlrChannel.h"
#include "controller/CtlrTable.h"
#include "platform/Desktop.h"
#include "platform/Threads.h"
#include "protocol/SysStatus.h"

namespace {

// The texts announced by the card finder, indexed by controller number. Written by the start-up
// scan (one thread) only.
char CardFinderTexts[CTLR_TABLE_SLOTS][CTLR_SN_SIZE];

constexpr uint8_t kUnits[4] = {CTLR_UNIT_PRIMARY, CTLR_UNIT_SECONDARY1, CTLR_UNIT_SECONDARY2,
                               CTLR_UNIT_SECONDARY3};

// True when the 19 serial characters start with NUL or are all blanks.
bool SerialNeedsFallback(const uint8_t* text) {
    if (text[0] == 0) return true;
    for (uint32_t i = 0; i < CTLR_SN_CHARS; ++i)
        if (text[i] != ' ') return false;
    return true;
}

void BuildIdentifyCmd(uint8_t cmd[CTLR_IDENT_CMD_SIZE], uint8_t unitByte, uint8_t page) {
    std::memset(cmd, 0, CTLR_IDENT_CMD_SIZE);
    cmd[0] = CTLR_CMD_IDENTIFY;
    cmd[1] = IdentUnitByte(unitByte);
    cmd[2] = page;
}

// The serial number and the identify fields of FillCtlrEntry, on an entry the caller holds
// exclusively.
void UpdateEntryLocked(CtlrEntry& e, const uint8_t* ident, uint8_t page20Byte) {
    const uint8_t* snText = ident + IDENT_OFF_SN;
    if (SerialNeedsFallback(snText)) {
        std::memcpy(e.cCtrlSN, ident + IDENT_OFF_FALLBACK_SN, CTLR_FALLBACK_SN_CHARS);
        std::memset(e.cCtrlSN + CTLR_FALLBACK_SN_CHARS, 0, CTLR_SN_CHARS - CTLR_FALLBACK_SN_CHARS);
    } else {
        std::memcpy(e.cCtrlSN, snText, CTLR_SN_CHARS);
    }
    e.cCtrlSN[CTLR_SN_SIZE - 1] = '\0';
    e.bIdent95 = ident[IDENT_OFF_95];
    e.bIdent107 = ident[IDENT_OFF_107];
    e.usIdent80 = static_cast<uint16_t>(ident[IDENT_OFF_80] << 8 | ident[IDENT_OFF_80 + 1]);
    std::memcpy(e.cIdent16, ident + IDENT_OFF_TEXT16, 16);
    std::memcpy(e.cIdent112, ident + IDENT_OFF_TEXT112, 16);
    e.bPage20Byte = page20Byte;
}

void CardFinderThread(void* arg) {
    auto* text = static_cast<std::string*>(arg);
    plat::ShowMessageBox(CARD_FINDER_TITLE, text->c_str(), plat::MsgBoxIcon::None);
    delete text;
}

// Starts the thread of one box; the caller never waits for it.
void StartCardFinderBox(const char* text) {
    auto* copy = new (std::nothrow) std::string(text);
    if (copy == nullptr) return;
    if (!plat::StartDetachedThread(&CardFinderThread, copy)) delete copy;
}

}  // namespace

void BuildCtlrPortPath(unsigned port, char* buf) {
    std::snprintf(buf, CTLR_DEVNAME_SIZE, "\\\\.\\Scsi%u: ", port);
}

uint8_t IdentUnitByte(uint8_t bUnitMark) {
    switch (bUnitMark) {
        case CTLR_UNIT_SECONDARY1:
            return 33;
        case CTLR_UNIT_SECONDARY2:
            return 65;
        case CTLR_UNIT_SECONDARY3:
            return 97;
        default:
            return 1;
    }
}

void InitCtlrTable() {
    {
        std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
        for (uint8_t n = 0; n < CTLR_TABLE_SLOTS; ++n) {
            CtlrEntry& e = GetCtlrEntry(n);
            e.bState = CTLR_STATUS_ALIVE;
            e.cCtrlSN[0] = e.cCtrlSN[1] = e.cCtrlSN[2] = '\0';
        }
    }
    ScanCtlr();
}

uint8_t VisitCtlrPortUnits(const CtlrPortWalk& walk) {
    uint8_t next = 0;
    for (unsigned port = 0; port < MAX_CTLR_NUM; ++port) {
        char path[CTLR_DEVNAME_SIZE];
        BuildCtlrPortPath(port, path);
        SrvLog("%s : %s, Index : 0x%x.\n", walk.logName, path, next);
        for (int u = 0; u < 4; ++u) {
            uint8_t ident[CTLR_IDENT_SIZE] = {};
            uint8_t unitByte = kUnits[u];
            if (!ProbeCtlr(path, ident, &unitByte)) break;
            const CtlrPortUnit unit{path, u, kUnits[u], unitByte, ident};
            if (walk.answered) walk.answered(unit, next);
            if (next >= MAX_CTLR_NUM) {
                char sn[CTLR_SN_SIZE] = {};
                std::memcpy(sn, ident + IDENT_OFF_SN, CTLR_SN_CHARS);
                SrvLog("%s : %s, Index : 0x%x, the table is full, unit SN(%s) dropped.\n",
                       walk.logName, path, next, sn);
            } else {
                if (walk.record) walk.record(unit, next);
                ++next;
            }
            if (u < 3)
                SrvLog("%s : %s, Index : 0x%x (%s%d).\n", walk.logName, path, next,
                       walk.secondaryName, u + 1);
        }
        if (walk.portDone) walk.portDone(next);
    }
    return next;
}

void ScanCtlr() {
    std::lock_guard<std::mutex> probe(CtlrProbeLock());
    CtlrPortWalk walk{"Find", "Secondary", nullptr, nullptr, nullptr};
    walk.answered = [](const CtlrPortUnit& unit, uint8_t next) {
        char sn[CTLR_SN_SIZE] = {};
        std::memcpy(sn, unit.ident + IDENT_OFF_SN, CTLR_SN_CHARS);
        SrvLog("Find : %s, Index : 0x%x, cCtrlSN = %s\n", unit.path, next, sn);
    };
    walk.record = [](const CtlrPortUnit& unit, uint8_t n) {
        ShowCardFinder(n, unit.ident);
        FillCtlrEntry(n, unit.ident, unit.page20Byte);
        std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
        GetCtlrEntry(n).bUnitMark = unit.unitMark;
    };
    const uint8_t next = VisitCtlrPortUnits(walk);
    if (next == 0) ShowCardFinder(0, nullptr);
    ClearCtlrFrom(next);
}

bool ProbeCtlr(const char* path, uint8_t ident[CTLR_IDENT_SIZE], uint8_t* unitByte) {
    uint8_t answer[CTLR_IDENT_ANSWER_SIZE] = {};
    char slotPath[CTLR_DEVNAME_SIZE] = {};
    {
        std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
        CtlrEntry& slot = GetCtlrEntry(CTLR_PROBE_SLOT);
        std::memset(&slot, 0, sizeof slot);
        slot.bState = CTLR_STATUS_ALIVE;
        std::snprintf(slot.cDevName, sizeof slot.cDevName, "%s", path);
        std::memcpy(slotPath, slot.cDevName, sizeof slotPath);
    }
    uint8_t cmd[CTLR_IDENT_CMD_SIZE];
    BuildIdentifyCmd(cmd, *unitByte, CTLR_IDENT_PAGE_BLOCK);
    if (CtlrDevIoControl(CTLR_PROBE_SLOT, IOCTL_DTR_INBAND_COMMAND, CTLR_IDENT_CMD_SIZE, cmd,
                         CTLR_IDENT_ANSWER_SIZE, answer, nullptr) != SYS_SUCCESS)
        return false;
    const uint8_t* block = answer + CTLR_IDENT_ANSWER_OFF;
    SrvLog("Product Type = 0x%x , Vendor Type = 0x%x\n", block[IDENT_OFF_PRODUCT_TYPE],
           block[IDENT_OFF_VENDOR_TYPE]);
    bool accepted = std::memcmp(block + IDENT_OFF_SIGNATURE, "KELDRAN", 7) == 0 ||
                    std::memcmp(block + IDENT_OFF_SIGNATURE, "Vostrel", 7) == 0 ||
                    block[IDENT_OFF_VENDOR_TYPE] != 0;
    if (!accepted) {
        // No line end: the next log line continues this one.
        SrvLog("Find : %s, err : pSignature no match : ", slotPath);
        return false;
    }
    std::memcpy(ident, block, CTLR_IDENT_SIZE);

    std::memset(answer, 0, sizeof answer);
    BuildIdentifyCmd(cmd, *unitByte, CTLR_IDENT_PAGE_20);
    if (CtlrDevIoControl(CTLR_PROBE_SLOT, IOCTL_DTR_INBAND_COMMAND, CTLR_IDENT_CMD_SIZE, cmd,
                         CTLR_IDENT_ANSWER_SIZE, answer, nullptr) != SYS_SUCCESS)
        return false;
    *unitByte = answer[CTLR_PAGE20_ANSWER_OFF];
    return true;
}

void FillCtlrEntry(uint8_t n, const uint8_t ident[CTLR_IDENT_SIZE], uint8_t page20Byte) {
    if (n >= MAX_CTLR_NUM) return;
    std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
    CtlrEntry& e = GetCtlrEntry(n);
    std::memcpy(e.cDevName, GetCtlrEntry(CTLR_PROBE_SLOT).cDevName, CTLR_DEVNAME_SIZE);
    UpdateEntryLocked(e, ident, page20Byte);
}

void UpdateCtlrEntry(uint8_t n, const uint8_t ident[CTLR_IDENT_SIZE], uint8_t page20Byte) {
    if (n >= MAX_CTLR_NUM) return;
    std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
    UpdateEntryLocked(GetCtlrEntry(n), ident, page20Byte);
}

bool RefreshCtlrEntry(uint8_t n) {
    if (n >= MAX_CTLR_NUM) return false;
    // The channel is held across the request and the update: no rescan can give number n to
    // another unit in between.
    CtlrChannelHold hold(n);
    const CtlrEntry before = SnapshotCtlrEntry(n);
    if (before.bState != CTLR_STATUS_ALIVE) return false;
    uint8_t cmd[CTLR_IDENT_CMD_SIZE];
    BuildIdentifyCmd(cmd, before.bUnitMark, CTLR_IDENT_PAGE_BLOCK);
    uint8_t answer[CTLR_IDENT_ANSWER_SIZE] = {};
    if (CtlrDevIoControl(n, IOCTL_DTR_INBAND_COMMAND, CTLR_IDENT_CMD_SIZE, cmd,
                         CTLR_IDENT_ANSWER_SIZE, answer, nullptr) != SYS_SUCCESS)
        return false;
    std::unique_lock<std::shared_mutex> lock(CtlrTableLock());
    CtlrEntry& e = GetCtlrEntry(n);
    if (e.bState != CTLR_STATUS_ALIVE) return false;  // cleared meanwhile
    UpdateEntryLocked(e, answer + CTLR_IDENT_ANSWER_OFF, e.bPage20Byte);
    return true;
}

void ShowCardFinder(uint8_t n, const uint8_t* ident) {
    if (ident == nullptr) {
        StartCardFinderBox(CARD_FINDER_NONE_TEXT);
        return;
    }
    if (n >= CTLR_TABLE_SLOTS) return;
    char* text = CardFinderTexts[n];
    std::memcpy(text, ident + IDENT_OFF_SN, CTLR_SN_CHARS);
    text[CTLR_SN_SIZE - 1] = '\0';
    if (SerialNeedsFallback(ident + IDENT_OFF_SN))
        std::memcpy(text, ident + IDENT_OFF_FALLBACK_SN, CTLR_FALLBACK_SN_CHARS);
    char message[64];
    std::snprintf(message, sizeof message, "Serial Number: %s", text);
    StartCardFinderBox(message);
}

const char* CardFinderText(uint8_t n) {
    return n < CTLR_TABLE_SLOTS ? CardFinderTexts[n] : "";
}
