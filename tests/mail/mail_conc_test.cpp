// The mail settings under concurrent changes, saves and reads.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "mail/MailConfig.h"
#include "mail/MailDispatch.h"
#include "protocol/SysStatus.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

// A text made of one repeated character, as every writer below stores.
bool IsOneRun(const std::string& s, size_t len) {
    return s.size() == len && s.find_first_not_of(s[0]) == std::string::npos;
}

}  // namespace

TEST(MailConfigConc, ReadersAndFilesNeverSeeAHalfWrittenSetting) {
    ServerDirScope sd;
    testing::internal::CaptureStdout();
    InitializeSmtp();
    testing::internal::GetCapturedStdout();

    constexpr int ROUNDS = 150;
    std::atomic<int> writersLeft{2};
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (char mark : {'a', 'b'}) {
        threads.emplace_back([&, mark] {
            const std::string addr(127, mark), item(128, mark);
            for (int r = 0; r < ROUNDS; ++r) {
                for (uint8_t slot = 0; slot < MAX_MIS_SZ; ++slot)
                    if (UpdateMailAddr(slot, addr.data(), addr.size()) != SYS_SUCCESS) ++bad;
                SetMailSrvItem(MAIL_SRV_ITEM1, item.data(), item.size());
                SetMailSrvItem(MAIL_SRV_ITEM6, item.data(), item.size());
                if (!SaveMailAddrFile() || !SaveMailSrvFile()) ++bad;
            }
            --writersLeft;
        });
    }
    for (int reader = 0; reader < 2; ++reader) {
        threads.emplace_back([&] {
            for (int r = 0; r < 20 * ROUNDS && writersLeft.load() > 0; ++r) {
                MailAddrTable addrs;
                MailSrvSettings srv;
                SnapshotMailSettings(&addrs, &srv);
                for (const MailAddrSlot& s : addrs.Slot)
                    if (s.bValid == 1 && !IsOneRun(s.cMailAddr, 127) &&
                        std::string(s.cMailAddr) != "NULL")
                        ++bad;
                std::string i1 = srv.MailSrvItem1;
                if (!i1.empty() && !IsOneRun(i1, 127) && !IsOneRun(i1, 128)) ++bad;
                char one[MAIL_ADDR_SIZE];
                GetMailAddr(static_cast<uint8_t>(r % MAX_MIS_SZ), one);
                std::string a = one;
                if (a != "NULL" && a != "       " && !IsOneRun(a, 127)) ++bad;

                // A file is always one whole save: twelve or six complete lines.
                std::string cfg = ReadFile(sd.File("mail.cfg"));
                if (!cfg.empty()) {
                    size_t lines = 0, start = 0;
                    for (size_t nl = cfg.find('\n'); nl != std::string::npos;
                         start = nl + 1, nl = cfg.find('\n', start)) {
                        std::string line = cfg.substr(start, nl - start);
                        if (line != "NULL" && !IsOneRun(line, 127)) ++bad;
                        ++lines;
                    }
                    if (lines != 12 || start != cfg.size()) ++bad;
                }
                std::string srvFile = ReadFile(sd.File("mailSrv.cfg"));
                if (!srvFile.empty() && srvFile.size() != (127 + 1) + 4 * 5 + (63 + 1))
                    ++bad;  // 127 characters, four NULLs and 63 characters, each with "\n"
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_FALSE(FileExists(sd.File("mail.cfg.tmp")));
    EXPECT_FALSE(FileExists(sd.File("mailSrv.cfg.tmp")));
}
