// The mail file loaders (LoadMailAddrFile, LoadMailSrvFile, src/mail/MailConfig.h): the input is
// both mail.cfg and mailSrv.cfg in ServerDir.
//
// Checks: every recipient and item read is a NUL-terminated text within its capacity, a valid
// recipient is never empty nor holds "NULL"; the settings saved and loaded again are the
// settings loaded (what a client reads back after a restart is what it read before).
#include <cstring>
#include <string>

#include "base/ServerLog.h"
#include "mail/MailConfig.h"
#include "support/FuzzSupport.h"

namespace {

struct Snapshot {
    MailAddrTable addrs;
    MailSrvSettings srv;
};

Snapshot Take() {
    Snapshot s;
    std::memset(&s, 0, sizeof s);
    SnapshotMailSettings(&s.addrs, &s.srv);
    return s;
}

// The text of a field of `cap` bytes, which must hold its NUL.
std::string Text(const char* field, size_t cap) {
    const void* nul = std::memchr(field, '\0', cap);
    FUZZ_CHECK(nul != nullptr);
    return std::string(field, static_cast<const char*>(nul) - field);
}

void CheckAndCompare(const Snapshot& a, const Snapshot* b) {
    for (uint8_t i = 0; i < MAX_MIS_SZ; ++i) {
        const MailAddrSlot& s = a.addrs.Slot[i];
        FUZZ_CHECK(s.bValid == 0 || s.bValid == 1);
        if (s.bValid == 0) continue;
        const std::string t = Text(s.cMailAddr, sizeof s.cMailAddr);
        FUZZ_CHECK(!t.empty());
        FUZZ_CHECK(t.find("NULL") == std::string::npos);
        if (b != nullptr) {
            FUZZ_CHECK(b->addrs.Slot[i].bValid == 1);
            FUZZ_CHECK(Text(b->addrs.Slot[i].cMailAddr, MAIL_ADDR_SIZE) == t);
        }
    }
    if (b != nullptr)
        for (uint8_t i = 0; i < MAX_MIS_SZ; ++i)
            FUZZ_CHECK(b->addrs.Slot[i].bValid == a.addrs.Slot[i].bValid);
    for (uint8_t item = 0; item < MAIL_SRV_ITEMS; ++item) {
        char text[MAIL_SRV_TEXT_BUF];
        const size_t len = GetMailSrvItem(item, text, sizeof text);
        FUZZ_CHECK(len < MailSrvItemCapacity(item));
        FUZZ_CHECK(std::strlen(text) == len);
    }
    if (b != nullptr) {
        const char* fa[] = {a.srv.MailSrvItem1, a.srv.MailSrvItem2, a.srv.MailSrvItem3,
                            a.srv.MailSrvItem4, a.srv.MailEnable,   a.srv.MailSrvItem6};
        const char* fb[] = {b->srv.MailSrvItem1, b->srv.MailSrvItem2, b->srv.MailSrvItem3,
                            b->srv.MailSrvItem4, b->srv.MailEnable,   b->srv.MailSrvItem6};
        for (uint8_t item = 0; item < MAIL_SRV_ITEMS; ++item) {
            const size_t cap = MailSrvItemCapacity(item);
            // An empty item is saved as NULL and comes back as that text.
            const std::string ta = Text(fa[item], cap);
            FUZZ_CHECK(Text(fb[item], cap) == (ta.empty() ? std::string("NULL") : ta));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = [] {
        fuzz::SilenceStdout();
        std::string d = fuzz::MakeTempFolder("mail");
        SetServerDir(d.c_str());
        return d;
    }();
    FUZZ_CHECK(fuzz::WriteFileBytes(dir + "/mail.cfg", data, size));
    FUZZ_CHECK(fuzz::WriteFileBytes(dir + "/mailSrv.cfg", data, size));
    LoadMailAddrFile();
    LoadMailSrvFile();
    const Snapshot loaded = Take();
    CheckAndCompare(loaded, nullptr);

    FUZZ_CHECK(SaveMailAddrFile());
    FUZZ_CHECK(SaveMailSrvFile());
    LoadMailAddrFile();
    LoadMailSrvFile();
    const Snapshot reloaded = Take();
    CheckAndCompare(loaded, &reloaded);
    return 0;
}
