#include "app/EventHook.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "base/PrintableText.h"
#include "base/ServerLog.h"
#include "events/EventClass.h"
#include "platform/HostPaths.h"
#include "platform/Process.h"
#include "platform/Subprocess.h"
#include "platform/Threads.h"

namespace {

struct HookJob {
    std::vector<std::string> env;  // "NAME=value"
    std::string label;             // for the log: "SN(...)"
};

// The queue and its workers live for the whole process: the workers never end, so their lock
// and condition are never destroyed under them (not even when the process exits).
struct HookQueue {
    std::mutex lock;
    std::condition_variable ready;
    std::deque<HookJob> jobs;
    std::string program;
    bool mailedOnly = false;
};
HookQueue& Queue() {
    static auto* q = new HookQueue;
    return *q;
}
std::atomic<bool> g_started{false};
std::atomic<uint64_t> g_ok{0}, g_failed{0}, g_timedOut{0}, g_dropped{0};

void RunJob(const HookJob& job) {
    std::vector<const char*> env;
    for (const std::string& e : job.env)
        env.push_back(e.c_str());
    env.push_back(nullptr);
    const std::string program = Queue().program;
    const char* const argv[] = {program.c_str(), nullptr};
    plat::Subprocess p;
    std::string why;
    const int r = p.Start(argv, env.data(), &why);
    if (r != plat::LAUNCH_OK) {
        SrvLog("EventHook : %s for %s cannot run (%s).\n", program.c_str(), job.label.c_str(),
               why.c_str());
        g_failed.fetch_add(1);
        return;
    }
    // Its output is read and dropped, so that a chatty hook never blocks on a full pipe.
    const auto drop = [](const std::string&) {};
    int code = -1;
    if (!p.WatchToEnd(EVENT_HOOK_BOUND_S * 1000, drop, &code)) {
        SrvLog("EventHook : %s for %s ran past %d s, ended.\n", program.c_str(), job.label.c_str(),
               EVENT_HOOK_BOUND_S);
        g_timedOut.fetch_add(1);
        return;
    }
    if (code == 0) {
        g_ok.fetch_add(1);
        return;
    }
    SrvLog("EventHook : %s for %s exited %d.\n", program.c_str(), job.label.c_str(), code);
    g_failed.fetch_add(1);
}

void Worker(void*) {
    for (;;) {
        HookJob job;
        {
            HookQueue& q = Queue();
            std::unique_lock<std::mutex> lock(q.lock);
            q.ready.wait(lock, [&q] { return !q.jobs.empty(); });
            job = std::move(q.jobs.front());
            q.jobs.pop_front();
        }
        RunJob(job);
    }
}

// The event's text as one line: its line ends become blanks, the last one goes.
std::string OneLine(const char* text) {
    std::string out = text;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    for (char& c : out)
        if (c == '\n' || c == '\r') c = ' ';
    return out;
}

}  // namespace

void StartEventHook(const HookSettings& h) {
    if (h.program.empty()) return;
    if (!plat::Subprocess::Available()) {
        SrvLog("EventHook : %s not started, this build cannot run an event hook.\n",
               h.program.c_str());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(Queue().lock);
        Queue().program = h.program;
        Queue().mailedOnly = h.mailedOnly;
    }
    int started = 0;
    for (int i = 0; i < EVENT_HOOK_WORKERS; ++i)
        if (plat::StartDetachedThread(&Worker, nullptr)) ++started;
    g_started.store(started > 0);
    SrvLog("EventHook : %s for %s events, %d at once.\n", h.program.c_str(),
           h.mailedOnly ? "mailed" : "all", started);
}

void QueueEventHook(const RecordedEvent& e) {
    if (!g_started.load()) return;
    HookQueue& q = Queue();
    {
        std::lock_guard<std::mutex> lock(q.lock);
        if (q.mailedOnly && !e.mailed) return;
    }
    const std::string sn = PrintableText(e.serial);
    const plat::LocalTime t = plat::GetLocalTime();
    char when[32];
    std::snprintf(when, sizeof when, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    HookJob job;
    job.label = "SN(" + sn + ")";
    job.env = {"PELLOMAR_SERIAL=" + sn,
               "PELLOMAR_CONTROLLER=" + std::to_string(e.ctlrNo),
               std::string("PELLOMAR_TIME=") + when,
               "PELLOMAR_HEX=" + std::string(e.hex),
               "PELLOMAR_TEXT=" + OneLine(e.text),
               std::string("PELLOMAR_CLASS=") + EventClassName(e.kind.cls),
               std::string("PELLOMAR_SEVERITY=") + EventSeverityName(e.kind.severity),
               std::string("PELLOMAR_RECOVERY=") + (e.kind.recovery ? "1" : "0"),
               std::string("PELLOMAR_MAILED=") + (e.mailed ? "1" : "0")};
    {
        std::lock_guard<std::mutex> lock(q.lock);
        if (q.jobs.size() >= EVENT_HOOK_QUEUE_MAX) {
            g_dropped.fetch_add(1);
            return;
        }
        q.jobs.push_back(std::move(job));
    }
    q.ready.notify_one();
}

EventHookStats GetEventHookStats() {
    return EventHookStats{g_ok.load(), g_failed.load(), g_timedOut.load(), g_dropped.load()};
}
