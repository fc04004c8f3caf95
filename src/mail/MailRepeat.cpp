#include "mail/MailRepeat.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <sstream>
#include <tuple>

#include "base/FileHandle.h"
#include "base/ServerLog.h"
#include "platform/FileSync.h"

namespace {

constexpr int64_t DAY_S = 24 * 60 * 60;
constexpr int DIMINISHING_MAX_DAYS = 32;

using Key = std::tuple<std::string, int, uint16_t>;
struct Condition {
    int64_t lastMail = 0;
    uint32_t mails = 0;
    bool heldLogged = false;
};

std::mutex g_lock;
MailRepeat g_policy = MailRepeat::Always;
std::map<Key, Condition> g_conditions;
std::atomic<uint64_t> g_suppressed{0};

void SaveLocked() {
    char path[plat::SRV_PATH_MAX];
    if (!ServerDirPath(path, sizeof path, MAIL_REPEAT_FILE)) return;
    const bool ok = plat::WriteFileAtomically(
        path,
        [](std::FILE* f) {
            for (const auto& [k, c] : g_conditions)
                if (std::fprintf(f, "%s %d %u %lld %u\n", std::get<0>(k).c_str(), std::get<1>(k),
                                 static_cast<unsigned>(std::get<2>(k)),
                                 static_cast<long long>(c.lastMail), c.mails) < 0)
                    return false;
            return true;
        },
        plat::Durability::Flush);
    if (!ok) SrvLog("MailRepeat : cannot write %s.\n", path);
}

void LoadLocked() {
    g_conditions.clear();
    char path[plat::SRV_PATH_MAX];
    if (!ServerDirPath(path, sizeof path, MAIL_REPEAT_FILE)) return;
    FileHandle f(path, "r");
    if (!f) return;
    char serial[64];
    int cls = 0;
    unsigned object = 0, mails = 0;
    long long last = 0;
    while (g_conditions.size() < MAIL_REPEAT_MAX &&
           std::fscanf(f.get(), "%63s %d %u %lld %u", serial, &cls, &object, &last, &mails) == 5) {
        if (object > 0xFFFF) continue;
        Condition c;
        c.lastMail = last;
        c.mails = mails;
        g_conditions[{serial, cls, static_cast<uint16_t>(object)}] = c;
    }
}

// The days a condition waits before its next mail under the diminishing policy.
int64_t DiminishingWaitS(uint32_t mails) {
    int64_t days = 1;
    for (uint32_t i = 1; i < mails && days < DIMINISHING_MAX_DAYS; ++i)
        days *= 2;
    return std::min<int64_t>(days, DIMINISHING_MAX_DAYS) * DAY_S;
}

}  // namespace

void SetMailRepeatPolicy(MailRepeat policy) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_policy = policy;
    LoadLocked();
}

bool MailRepeatAllows(const std::string& serial, int cls, uint16_t object, bool recovery,
                      const std::vector<int>& alsoEnds, bool wantRecovery, int64_t now) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_policy == MailRepeat::Always) return recovery ? wantRecovery : true;
    const std::string sn = serial.empty() ? std::string("-") : serial;
    if (recovery) {
        bool changed = g_conditions.erase({sn, cls, object}) > 0;
        for (auto it = g_conditions.begin(); it != g_conditions.end();) {
            const bool ends = std::get<0>(it->first) == sn &&
                              std::find(alsoEnds.begin(), alsoEnds.end(), std::get<1>(it->first)) !=
                                  alsoEnds.end();
            changed = changed || ends;
            it = ends ? g_conditions.erase(it) : ++it;
        }
        if (changed) SaveLocked();
        return wantRecovery;
    }
    const Key key{sn, cls, object};
    auto it = g_conditions.find(key);
    bool allow = true;
    if (it != g_conditions.end()) {
        const Condition& c = it->second;
        switch (g_policy) {
            case MailRepeat::Once:
                allow = false;
                break;
            case MailRepeat::Daily:
                allow = now - c.lastMail >= DAY_S;
                break;
            case MailRepeat::Diminishing:
                allow = now - c.lastMail >= DiminishingWaitS(c.mails);
                break;
            case MailRepeat::Always:
                break;
        }
    }
    if (!allow) {
        g_suppressed.fetch_add(1);
        Condition& c = it->second;
        if (!c.heldLogged) {
            SrvLog("MailRepeat : %s class %d object %u goes on, later mails held back.\n",
                   sn.c_str(), cls, static_cast<unsigned>(object));
            c.heldLogged = true;
        }
        return false;
    }
    if (it == g_conditions.end() && g_conditions.size() >= MAIL_REPEAT_MAX) {
        // Forget the condition mailed longest ago.
        auto oldest = g_conditions.begin();
        for (auto j = g_conditions.begin(); j != g_conditions.end(); ++j)
            if (j->second.lastMail < oldest->second.lastMail) oldest = j;
        g_conditions.erase(oldest);
    }
    Condition& c = g_conditions[key];
    c.lastMail = now;
    ++c.mails;
    c.heldLogged = false;
    SaveLocked();
    return true;
}

uint64_t MailRepeatSuppressed() {
    return g_suppressed.load();
}
