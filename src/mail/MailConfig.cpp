#include "mail/MailConfig.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>

#include "base/FileHandle.h"
#include "base/FileWord.h"
#include "base/ServerLog.h"
#include "platform/FileSync.h"
#include "platform/HostPaths.h"
#include "protocol/SysStatus.h"

namespace {

// The process-wide settings (all empty before InitializeSmtp) and the one lock that guards them
// and both files.
std::mutex g_mailLock;
MailAddrTable MailAddrs;
MailSrvSettings MailSrv;

constexpr char MAIL_ADDR_FILE[] = "mail.cfg";
constexpr char MAIL_SRV_FILE[] = "mailSrv.cfg";

struct ItemRef {
    char* pText;
    size_t lCapacity;
};

// The caller holds g_mailLock (or runs before other threads exist).
ItemRef SrvItem(uint8_t item) {
    switch (item) {
        case MAIL_SRV_ITEM1:
            return {MailSrv.MailSrvItem1, MAIL_SRV_LONG_SIZE};
        case MAIL_SRV_ITEM2:
            return {MailSrv.MailSrvItem2, MAIL_SRV_LONG_SIZE};
        case MAIL_SRV_ITEM3:
            return {MailSrv.MailSrvItem3, MAIL_SRV_SHORT_SIZE};
        case MAIL_SRV_ITEM4:
            return {MailSrv.MailSrvItem4, MAIL_SRV_SHORT_SIZE};
        case MAIL_SRV_ENABLE:
            return {MailSrv.MailEnable, MAIL_SRV_SHORT_SIZE};
        case MAIL_SRV_ITEM6:
            return {MailSrv.MailSrvItem6, MAIL_SRV_SHORT_SIZE};
        default:
            return {nullptr, 0};
    }
}

// Clears `cap` bytes of `dst` and copies the first n bytes of `src` in, stopping at a NUL and
// at cap - 1 characters, so the text always ends inside `dst`.
void CopyText(char* dst, size_t cap, const char* src, size_t n) {
    std::memset(dst, 0, cap);
    if (src == nullptr) return;
    size_t len = 0;
    while (len < n && len + 1 < cap && src[len] != '\0')
        ++len;
    std::memcpy(dst, src, len);
}

bool PutLine(std::FILE* f, const char* text) {
    return std::fputs(text, f) != EOF && std::fputc('\n', f) != EOF;
}

// Replaces ServerDir/name with what `writeLines` writes, through ServerDir/<name>.tmp. On any
// failure the temporary file is removed and `name` is left as it was. The caller holds
// g_mailLock, so two saves of the same file never interleave.
bool SaveThroughTempFile(const char* name, const std::function<bool(std::FILE*)>& writeLines) {
    char path[plat::SRV_PATH_MAX];
    if (!ServerDirPath(path, sizeof path, name)) return false;
    // The files hold the recipients and the SMTP password: only the agent's user may read them.
    return plat::WriteFileAtomically(path, writeLines, plat::Durability::None, nullptr,
                                     plat::FileAccess::OwnerOnly);
}

}  // namespace

void LoadMailConfigFiles() {
    LoadMailAddrFile();
    {
        std::lock_guard<std::mutex> lock(g_mailLock);
        MailAddrSlot& last = MailAddrs.Slot[MAX_MIS_SZ - 1];
        CopyText(last.cMailAddr, sizeof last.cMailAddr, MAIL_NULL_TEXT, sizeof MAIL_NULL_TEXT);
        last.bValid = 1;
    }
    LoadMailSrvFile();
    ResetBootMsgFiles();
}

void LoadMailAddrFile() {
    std::lock_guard<std::mutex> lock(g_mailLock);
    std::memset(&MailAddrs, 0, sizeof MailAddrs);
    char path[plat::SRV_PATH_MAX];
    if (!ServerDirPath(path, sizeof path, MAIL_ADDR_FILE)) return;
    FileHandle f(path, "r");
    if (!f) return;
    char token[MAIL_ADDR_SIZE];
    for (size_t bIndex = 0; ReadFileWord(f.get(), token, sizeof token); ++bIndex) {
        if (bIndex >= MAX_MIS_SZ) {
            StdOutMsg("bIndex >= MAX_MIS_SZ");
            break;
        }
        MailAddrSlot& slot = MailAddrs.Slot[bIndex];
        std::memcpy(slot.cMailAddr, token, sizeof token);
        // An empty text (a token that begins with a NUL byte) leaves the slot empty, as it does
        // when a client sets it.
        slot.bValid = token[0] != '\0' && std::strstr(token, MAIL_NULL_TEXT) == nullptr ? 1 : 0;
    }
}

void LoadMailSrvFile() {
    std::lock_guard<std::mutex> lock(g_mailLock);
    std::memset(&MailSrv, 0, sizeof MailSrv);
    char path[plat::SRV_PATH_MAX];
    if (!ServerDirPath(path, sizeof path, MAIL_SRV_FILE)) return;
    FileHandle f(path, "r");
    if (!f) return;
    for (uint8_t item = 0; item < MAIL_SRV_ITEMS; ++item) {
        ItemRef ref = SrvItem(item);
        if (!ReadFileWord(f.get(), ref.pText, ref.lCapacity)) break;
    }
}

void ResetBootMsgFiles() {
    std::lock_guard<std::mutex> lock(g_mailLock);
    for (int n = 0; n < MAIL_BOOT_MSG_FILES; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "mailBootMsg%d", n);
        char path[plat::SRV_PATH_MAX];
        if (!ServerDirPath(path, sizeof path, name)) return;
        {
            FileHandle probe(path, "r");
            if (!probe) continue;
        }
        FileHandle empty(path, "w");
    }
}

uint8_t ClearMailAddr(uint8_t bIndex) {
    if (bIndex >= MAX_MIS_SZ) return SYSFAIL_MAIL_INDEX_ERR;
    std::lock_guard<std::mutex> lock(g_mailLock);
    MailAddrSlot& slot = MailAddrs.Slot[bIndex];
    slot.bValid = 0;
    std::memset(slot.cMailAddr, 0, sizeof slot.cMailAddr);
    return SYS_SUCCESS;
}

uint8_t UpdateMailAddr(uint8_t bIndex, const char* addr, size_t len) {
    if (bIndex >= MAX_MIS_SZ) return SYSFAIL_MAIL_INDEX_ERR;
    std::lock_guard<std::mutex> lock(g_mailLock);
    MailAddrSlot& slot = MailAddrs.Slot[bIndex];
    CopyText(slot.cMailAddr, sizeof slot.cMailAddr, addr, len);
    slot.bValid = slot.cMailAddr[0] != '\0' ? 1 : 0;
    return SYS_SUCCESS;
}

uint8_t GetMailAddr(uint8_t bIndex, char out[MAIL_ADDR_SIZE]) {
    if (bIndex >= MAX_MIS_SZ) return SYSFAIL_MAIL_INDEX_ERR;
    std::lock_guard<std::mutex> lock(g_mailLock);
    const MailAddrSlot& slot = MailAddrs.Slot[bIndex];
    const char* text = slot.bValid == 1 ? slot.cMailAddr : MAIL_ADDR_EMPTY_TEXT;
    CopyText(out, MAIL_ADDR_SIZE, text, MAIL_ADDR_SIZE);
    return SYS_SUCCESS;
}

bool SaveMailAddrFile() {
    std::lock_guard<std::mutex> lock(g_mailLock);
    return SaveThroughTempFile(MAIL_ADDR_FILE, [](std::FILE* f) {
        for (const MailAddrSlot& slot : MailAddrs.Slot) {
            bool used = slot.bValid == 1 && slot.cMailAddr[0] != '\0';
            if (!PutLine(f, used ? slot.cMailAddr : MAIL_NULL_TEXT)) return false;
        }
        return true;
    });
}

bool SaveMailSrvFile() {
    std::lock_guard<std::mutex> lock(g_mailLock);
    for (uint8_t item = 0; item < MAIL_SRV_ITEMS; ++item) {
        ItemRef ref = SrvItem(item);
        ref.pText[ref.lCapacity - 1] = '\0';
    }
    return SaveThroughTempFile(MAIL_SRV_FILE, [](std::FILE* f) {
        for (uint8_t item = 0; item < MAIL_SRV_ITEMS; ++item) {
            const char* text = SrvItem(item).pText;
            if (!PutLine(f, text[0] != '\0' ? text : MAIL_NULL_TEXT)) return false;
        }
        return true;
    });
}

size_t MailSrvItemCapacity(uint8_t item) {
    return SrvItem(item).lCapacity;
}

uint8_t SetMailSrvItem(uint8_t item, const char* data, size_t n) {
    if (item >= MAIL_SRV_ITEMS) return SYSFAIL_MAIL_INDEX_ERR;
    std::lock_guard<std::mutex> lock(g_mailLock);
    ItemRef ref = SrvItem(item);
    // The item's guard byte (at lCapacity) stays NUL, so a set may fill the whole capacity.
    CopyText(ref.pText, ref.lCapacity + 1, data, n);
    return SYS_SUCCESS;
}

size_t GetMailSrvItem(uint8_t item, char* out, size_t cap) {
    if (cap == 0) return 0;
    out[0] = '\0';
    if (item >= MAIL_SRV_ITEMS) return 0;
    std::lock_guard<std::mutex> lock(g_mailLock);
    ItemRef ref = SrvItem(item);
    CopyText(out, cap, ref.pText, ref.lCapacity + 1);
    return std::strlen(out);
}

void SetMailEnable(bool on) {
    const char* text = on ? "TRUE" : "FALSE";
    SetMailSrvItem(MAIL_SRV_ENABLE, text, std::strlen(text));
}

uint8_t IsMailEnabled() {
    std::lock_guard<std::mutex> lock(g_mailLock);
    return std::strcmp(MailSrv.MailEnable, "TRUE") == 0 ||
                   std::strcmp(MailSrv.MailEnable, "true") == 0
               ? 1
               : 0;
}

bool MailEnableIsTrue() {
    std::lock_guard<std::mutex> lock(g_mailLock);
    return std::strcmp(MailSrv.MailEnable, "TRUE") == 0;
}

void SnapshotMailSettings(MailAddrTable* addrs, MailSrvSettings* srv) {
    std::lock_guard<std::mutex> lock(g_mailLock);
    if (addrs != nullptr) *addrs = MailAddrs;
    if (srv != nullptr) *srv = MailSrv;
}
