// pellomar-cli --json: every command's document read back and held to the members that
// doc/cli-json.md lists, errors as one object on standard error with the exit codes of the text
// form, and the common options taken anywhere on the line.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/CannedAgent.h"
#include "common/Crc32.h"
#include "common/Discovery.h"
#include "platform/Socket.h"
#include "support/TestSupport.h"

using namespace testing_support;
using gui::Bytes;
using Json = nlohmann::ordered_json;

namespace {

struct CliRun {
    int code = -1;
    std::string out, err;
};

CliRun Cli(uint16_t port, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {BinPath("pellomar-cli"), "--port", std::to_string(port)};
    argv.insert(argv.end(), args.begin(), args.end());
    CliRun r;
    r.code = RunProgram(argv, &r.out, &r.err, std::chrono::seconds(60));
    return r;
}

// The one line of `text` as JSON; a failure and null when it isn't exactly one document.
Json OneDocument(const std::string& text) {
    const std::vector<std::string> lines = SplitLines(text);
    EXPECT_EQ(lines.size(), 1u) << text;
    if (lines.size() != 1) return nullptr;
    Json j = Json::parse(lines[0], nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << lines[0];
    return j.is_discarded() ? Json() : j;
}

std::vector<std::string> Keys(const Json& j) {
    std::vector<std::string> k;
    if (j.is_object())
        for (const auto& [key, value] : j.items())
            k.push_back(key);
    return k;
}

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::string kDescription =
    "Server:0@1SN-A@2LocalHost@3-1@45@5PM-800 RAID@6FW-2.4.0@71aGuiSrvEnd";
const Bytes kDiskOffline = {3, 0, 0, 5, 1};  // disk A5 offline: class disk, critical
const Bytes kFanOk = {19, 0, 0, 1, 1};       // fan 1 normal again: class fan, info, recovery

// One event-list entry: the 38 characters of the line, then 28 event bytes and "vwxy".
Bytes Entry(std::string prefix, const Bytes& event) {
    prefix.resize(38, '0');
    Bytes e = Text(prefix);
    Bytes ev = event;
    ev.resize(28, 0);
    return Cat(Cat(e, ev), Text("vwxy"));
}

// An agent with three controllers (SN-A; one gone since the count; SN-C, whose description has
// no fields), queued and recorded events for SN-A, none for SN-EMPTY, and mail settings.
Bytes Agent(const Bytes& r) {
    if (r.size() < 2) return {};
    std::string sn;
    for (size_t i = 2; i < 18 && i < r.size() && r[i] != 0; ++i)
        sn += static_cast<char>(r[i]);
    switch (r[1]) {
        case 4:
        case 5:
            return r;
        case 1:
            if (sn == "SN-FAIL") return {2, 1, 'S', 0x23, 0x42, 0x00};
            if (r.size() > 18 && r[18] == 148)  // a package command: its header comes back
                return Cat({2, 1, r[2], 0x50, 0x50}, Bytes(r.begin() + 18, r.begin() + 25));
            return {2, 1, r[2], 0x50, 0x50, 0xa8, 0x00, 0x03, 0x07};
        case 3: {
            if (sn != "SN-A" && sn != "SN-EMPTY") return {2, 3, r[2], 0x25};
            if (r.size() > 18 && r[18] == 1) {
                Bytes b = {2, 3, r[2], 0x50, static_cast<uint8_t>(sn == "SN-A" ? 0x50 : 0x36)};
                Bytes ev = sn == "SN-A" ? kDiskOffline : Bytes{};
                ev.resize(32, 0);
                return Cat(b, ev);
            }
            if (sn == "SN-EMPTY") return {2, 3, r[2], 0x50, 0x36, 0, 0, 0, 0};
            return Cat(Cat({2, 3, r[2], 0x50, 0x50, 2, 0, 0, 0},
                           Entry("12/07/26-14:05:09\\SN-A\\", kFanOk)),
                       Entry("a foreign word", {4}));
        }
        case 2:
            if (r.size() < 3) return {};
            break;
        default:
            return {};
    }
    const uint8_t code = r[2];
    const uint8_t no = r.size() > 4 ? r[4] : 0;
    auto item = [&](const std::string& text) {
        return Cat({2, 2, code, 0x50, static_cast<uint8_t>(text.size())}, Text(text));
    };
    switch (code) {
        case 3:
            return {2, 2, 3, 0x50, 3};
        case 4: {
            if (no == 1 || no > 2) return {2, 2, 4, 0x61};
            Bytes b = Cat({2, 2, 4, 0x50}, Text(no == 0 ? "SN-A" : "SN-C"));
            b.resize(23, 0);
            return b;
        }
        case 18: {
            Bytes b = Cat({2, 2, 18, 0x50, no, 1}, Text(no == 0 ? kDescription : "odd text"));
            b.resize(112, 0);
            return b;
        }
        case 2: {
            const std::string text = no == 0 ? "ops@example.com" : no == 11 ? "NULL" : "       ";
            return Cat({2, 2, 2, 0x50, no, static_cast<uint8_t>(text.size())}, Text(text));
        }
        case 5:
            return item("smtp.example.com:587");
        case 6:
            return item("agent@example.com");
        case 11:
            return item("NULL");
        case 12:
            return item("s3cret");
        case 13:
            return {2, 2, 13, 0x50, 1};
        case 0x41:  // number 0 the primary unit; number 2 secondary unit 2, 5 relays failed
            return {2,
                    2,
                    0x41,
                    0x50,
                    no,
                    1,
                    static_cast<uint8_t>(no == 0 ? 0 : 17),
                    static_cast<uint8_t>(no == 0 ? 0 : 5)};
        case 17:
            return item("");
        default:
            return {2, 2, code, 0x50};
    }
}

TEST(JsonCli, EveryCommandPrintsOneDocumentWithTheDocumentedMembers) {
    CannedAgent agent(&Agent);
    TempDir tmp;
    const std::string image = tmp.File("image.bin");
    ASSERT_TRUE(WriteFile(image, std::string(100, 'x')));
    char crc[16];
    const Bytes data(100, 'x');
    std::snprintf(crc, sizeof crc, "0x%08x", gui::Crc32Update(0, data.data(), data.size()));
    const std::vector<std::string> eventKeys = {"time", "time_iso", "serial",   "hex",
                                                "text", "class",    "severity", "recovery"};

    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> keys;
        std::function<void(const Json&)> check;
    } cases[] = {
        {{"echo", "hi there"}, {"text"}, [](const Json& j) { EXPECT_EQ(j["text"], "hi there"); }},
        {{"alive"},
         {"alive", "host", "port"},
         [&](const Json& j) {
             EXPECT_EQ(j["alive"], true);
             EXPECT_EQ(j["host"], "127.0.0.1");
             EXPECT_EQ(j["port"], agent.port());
         }},
        {{"raw", "02 04 aa"}, {"reply"}, [](const Json& j) { EXPECT_EQ(j["reply"], "0204aa"); }},
        {{"inband", "SN-A", "a800"},
         {"serial", "status", "answer"},
         [](const Json& j) {
             EXPECT_EQ(j["serial"], "SN-A");
             EXPECT_EQ(j["status"], "0x50");
             EXPECT_EQ(j["answer"], "a8000307");
         }},
        {{"upload", "SN-A", image},
         {"serial", "file", "size", "command", "packages", "crc32", "seconds", "status"},
         [&](const Json& j) {
             EXPECT_EQ(j["file"], image);
             EXPECT_EQ(j["size"], 100);
             EXPECT_EQ(j["command"], 148);
             EXPECT_EQ(j["packages"], 1);
             EXPECT_EQ(j["crc32"], crc);
             EXPECT_TRUE(j["seconds"].is_number());
             EXPECT_EQ(j["status"], "0x50");
         }},
        {{"events", "SN-A"},
         {"serial", "event"},
         [&](const Json& j) {
             const Json& e = j["event"];
             EXPECT_EQ(Keys(e), eventKeys);
             EXPECT_EQ(e["serial"], "SN-A");
             EXPECT_EQ(e["hex"], "0300000501" + std::string(54, '0'));
             EXPECT_EQ(e["class"], "disk");
             EXPECT_EQ(e["severity"], "critical");
             EXPECT_EQ(e["recovery"], false);
             // The time the event was taken, in both forms.
             const std::string t = e["time"], iso = e["time_iso"];
             ASSERT_EQ(t.size(), 17u);
             EXPECT_EQ(iso, "20" + t.substr(6, 2) + "-" + t.substr(0, 2) + "-" + t.substr(3, 2) +
                                "T" + t.substr(9));
         }},
        {{"events", "SN-EMPTY"},
         {"serial", "event"},
         [](const Json& j) { EXPECT_TRUE(j["event"].is_null()); }},
        {{"history", "SN-A"},
         {"serial", "count", "events"},
         [&](const Json& j) {
             EXPECT_EQ(j["count"], 2);
             ASSERT_EQ(j["events"].size(), 2u);
             // Newest first, as the agent sends them.
             const Json& e = j["events"][0];
             EXPECT_EQ(Keys(e), eventKeys);
             EXPECT_EQ(e["time"], "12/07/26 14:05:09");
             EXPECT_EQ(e["time_iso"], "2026-12-07T14:05:09");
             EXPECT_EQ(e["serial"], "SN-A");
             EXPECT_EQ(e["hex"], "1300000101" + std::string(46, '0'));
             EXPECT_EQ(e["class"], "fan");
             EXPECT_EQ(e["severity"], "info");
             EXPECT_EQ(e["recovery"], true);
             // An entry that isn't a recorded line: its characters as the time, no date, no
             // serial.
             const Json& f = j["events"][1];
             EXPECT_EQ(f["time"], "a foreign word" + std::string(24, '0'));
             EXPECT_TRUE(f["time_iso"].is_null());
             EXPECT_TRUE(f["serial"].is_null());
             EXPECT_EQ(f["class"], "controller");
             EXPECT_EQ(f["text"], "System Boot up OK.");
         }},
        {{"history", "SN-EMPTY"},
         {"serial", "count", "events"},
         [](const Json& j) {
             EXPECT_EQ(j["count"], 0);
             EXPECT_EQ(j["events"], Json::array());
         }},
        // Without the rescan every number is asked; the empty ones are left out.
        {{"controllers", "--no-rescan"},
         {"count", "rescanned", "controllers"},
         [](const Json& j) {
             EXPECT_EQ(j["count"], 2);
             EXPECT_EQ(j["rescanned"], false);
             ASSERT_EQ(j["controllers"].size(), 2u);
             EXPECT_EQ(j["controllers"][0]["serial"], "SN-A");
             EXPECT_EQ(j["controllers"][1]["number"], 2);
             EXPECT_EQ(j["controllers"][1]["serial"], "SN-C");
         }},
        {{"controllers"},
         {"count", "rescanned", "controllers"},
         [](const Json& j) {
             EXPECT_EQ(j["count"], 3);
             EXPECT_EQ(j["rescanned"], true);
             ASSERT_EQ(j["controllers"].size(), 3u);
             const Json& a = j["controllers"][0];
             EXPECT_EQ(Keys(a),
                       (std::vector<std::string>{"number", "serial", "present", "description",
                                                 "host", "ident95", "ident107", "model", "firmware",
                                                 "unit_byte", "role", "relay_failures"}));
             EXPECT_EQ(a["number"], 0);
             EXPECT_EQ(a["serial"], "SN-A");
             EXPECT_EQ(a["present"], true);
             EXPECT_EQ(a["description"], kDescription);
             EXPECT_EQ(a["host"], "LocalHost");
             EXPECT_EQ(a["ident95"], -1);
             EXPECT_EQ(a["ident107"], 5);
             EXPECT_EQ(a["model"], "PM-800 RAID");
             EXPECT_EQ(a["firmware"], "FW-2.4.0");
             EXPECT_EQ(a["unit_byte"], 0x1a);
             EXPECT_EQ(a["role"], "primary");
             EXPECT_EQ(a["relay_failures"], 0);
             EXPECT_EQ(j["controllers"][1], (Json{{"number", 1},
                                                  {"serial", nullptr},
                                                  {"present", false},
                                                  {"description", nullptr}}));
             // A description without the fields: the text alone.
             EXPECT_EQ(j["controllers"][2], (Json{{"number", 2},
                                                  {"serial", "SN-C"},
                                                  {"present", true},
                                                  {"description", "odd text"},
                                                  {"role", "secondary 2"},
                                                  {"relay_failures", 5}}));
         }},
        {{"clear-events", "SN-A"},
         {"ok", "serial", "number"},
         [](const Json& j) {
             EXPECT_EQ(j["ok"], true);
             EXPECT_EQ(j["serial"], "SN-A");
             EXPECT_EQ(j["number"], 0);
         }},
        {{"mail", "list"},
         {"slots"},
         [](const Json& j) {
             ASSERT_EQ(j["slots"].size(), 12u);
             EXPECT_EQ(j["slots"][0], (Json{{"slot", 0}, {"address", "ops@example.com"}}));
             EXPECT_EQ(j["slots"][1], (Json{{"slot", 1}, {"address", nullptr}}));
             EXPECT_EQ(j["slots"][11], (Json{{"slot", 11}, {"address", nullptr}}));
         }},
        {{"mail", "server"},
         {"server", "sender", "user", "password_set", "enabled", "note"},
         [](const Json& j) {
             EXPECT_EQ(j["server"], "smtp.example.com:587");
             EXPECT_EQ(j["sender"], "agent@example.com");
             EXPECT_TRUE(j["user"].is_null());
             EXPECT_EQ(j["password_set"], true);
             EXPECT_EQ(j["enabled"], true);
             EXPECT_TRUE(j["note"].is_null());
         }},
        {{"mail", "server", "get", "--show-password"},
         {"server", "sender", "user", "password_set", "password", "enabled", "note"},
         [](const Json& j) { EXPECT_EQ(j["password"], "s3cret"); }},
        {{"mail", "set", "3", "a@example.com"},
         {"ok", "slot", "address"},
         [](const Json& j) {
             EXPECT_EQ(j, (Json{{"ok", true}, {"slot", 3}, {"address", "a@example.com"}}));
         }},
        {{"mail", "clear", "3"},
         {"ok", "slot", "address"},
         [](const Json& j) {
             EXPECT_EQ(j, (Json{{"ok", true}, {"slot", 3}, {"address", nullptr}}));
         }},
        {{"mail", "server", "set", "1", "smtp.example.com"},
         {"ok", "item", "name", "value"},
         [](const Json& j) {
             EXPECT_EQ(j, (Json{{"ok", true},
                                {"item", 1},
                                {"name", "server"},
                                {"value", "smtp.example.com"}}));
         }},
        // The password is not repeated unless asked for.
        {{"mail", "server", "set", "4", "pw"},
         {"ok", "item", "name"},
         [](const Json& j) { EXPECT_EQ(j["name"], "password"); }},
        {{"mail", "server", "set", "4", "pw", "--show-password"},
         {"ok", "item", "name", "value"},
         [](const Json& j) { EXPECT_EQ(j["value"], "pw"); }},
        {{"mail", "enable", "off"},
         {"ok", "enabled"},
         [](const Json& j) {
             EXPECT_EQ(j, (Json{{"ok", true}, {"enabled", false}}));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<std::string> args = {"--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CliRun r = Cli(agent.port(), args);
        ASSERT_EQ(r.code, 0) << r.out << r.err;
        const Json j = OneDocument(r.out);
        EXPECT_EQ(Keys(j), c.keys) << r.out;
        c.check(j);
        // Standard error holds JSON lines only: the upload's remark on its small request.
        for (const std::string& line : SplitLines(r.err)) {
            const Json note = Json::parse(line, nullptr, false);
            EXPECT_EQ(Keys(note), std::vector<std::string>{"note"}) << line;
        }
    }
}

// Code 18 makes the agent identify the controller again, so the listing asks it once per listed
// controller; without the rescan, code 0x41 (answered from the agent's table) tells which numbers
// are held. An agent that refuses code 0x41 is asked it once: the listing is the same, without
// the role and the failed relays.
TEST(JsonCli, ControllersAskEachDescriptionOnceAndDoWithoutCode0x41) {
    // Agent's controllers, and nothing held from number 3 on.
    auto agentOf = [](bool knows0x41) {
        return [knows0x41](const Bytes& r) -> Bytes {
            const bool held = r.size() > 4 && r[1] == 2 && (r[2] == 0x41 || r[2] == 18);
            if (held && r[2] == 0x41 && !knows0x41) return {2, 2, 0x41, 0x60};
            if (held && r[4] >= 3) {
                Bytes b = {2, 2, r[2], 0x50, r[4], 0};
                b.resize(r[2] == 18 ? 112 : 8, 0);
                return b;
            }
            return Agent(r);
        };
    };
    const struct Case {
        bool knows0x41;
        std::vector<std::string> args;
        size_t objects, code18, code41;
    } cases[] = {
        {true, {"controllers", "--no-rescan"}, 2, 2, 4},
        {false, {"controllers", "--no-rescan"}, 2, 6, 1},
        {true, {"controllers"}, 3, 2, 3},
        {false, {"controllers"}, 3, 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args) + (c.knows0x41 ? " 0x41" : " no 0x41"));
        CannedAgent agent(agentOf(c.knows0x41));
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        const CliRun r = Cli(agent.port(), args);
        ASSERT_EQ(r.code, 0) << r.out << r.err;
        const Json j = OneDocument(r.out);
        ASSERT_EQ(j["controllers"].size(), c.objects) << r.out;
        std::vector<std::string> serials;
        for (const Json& ctlr : j["controllers"]) {
            if (!ctlr["present"].get<bool>()) continue;
            serials.push_back(ctlr["serial"]);
            EXPECT_EQ(ctlr.contains("role"), c.knows0x41) << ctlr;
            EXPECT_EQ(ctlr.contains("relay_failures"), c.knows0x41) << ctlr;
        }
        EXPECT_EQ(serials, (std::vector<std::string>{"SN-A", "SN-C"}));
        if (c.knows0x41) {
            EXPECT_EQ(j["controllers"][0]["role"], "primary");
        }
        size_t code18 = 0, code41 = 0;
        for (const Bytes& req : agent.Requests()) {
            code18 += req[1] == 2 && req[2] == 18;
            code41 += req[1] == 2 && req[2] == 0x41;
        }
        EXPECT_EQ(code18, c.code18);
        EXPECT_EQ(code41, c.code41);
    }
    // The text form does not depend on the code either.
    CannedAgent knows(agentOf(true)), refuses(agentOf(false));
    const CliRun a = Cli(knows.port(), {"controllers", "--no-rescan"});
    const CliRun b = Cli(refuses.port(), {"controllers", "--no-rescan"});
    ASSERT_EQ(a.code, 0) << a.err;
    EXPECT_EQ(a.out.substr(0, 14), "2 controllers\n");
    EXPECT_EQ(b.out, a.out);
    EXPECT_EQ(b.code, 0) << b.err;
}

// The JSON documents carry what the text form shows: the event texts are the agent's own.
TEST(JsonCli, EventTextsAreTheOnesTheTextFormPrints) {
    CannedAgent agent(&Agent);
    const CliRun text = Cli(agent.port(), {"events", "SN-A"});
    const CliRun json = Cli(agent.port(), {"events", "SN-A", "--json"});
    ASSERT_EQ(text.code, 0) << text.err;
    ASSERT_EQ(json.code, 0) << json.err;
    const std::vector<std::string> lines = SplitLines(text.out);
    ASSERT_EQ(lines.size(), 2u) << text.out;
    const Json j = OneDocument(json.out);
    EXPECT_EQ(j["event"]["hex"], lines[0]);
    EXPECT_EQ(j["event"]["text"], lines[1]);
}

TEST(JsonCli, ErrorsAreOneObjectOnStandardErrorWithTheExitCodesOfTheTextForm) {
    CannedAgent agent([](const Bytes& r) -> Bytes {
        if (r[1] == 2) return {2, 2, r[2], 0x70};
        return Agent(r);
    });
    uint16_t closedPort = 0;
    {
        char err[128];
        plat::Socket s(plat::SockTcpListen(0x7F000001, 0, 1, err, sizeof err));
        ASSERT_TRUE(s.Valid()) << err;
        closedPort = plat::SockLocalPort(s.Get());
    }
    struct Case {
        std::vector<std::string> args;
        int exit;
        Json want;  // members the object must have besides "exit" (and "usage" for exit 2)
        bool usage;
    } cases[] = {
        {{"mail", "list"},
         1,
         {{"error",
           "failure reply to configuration code 2: status 0x70, slot out of range (the agent "
           "has slots 0 to 11)"},
          {"status", "0x70"}},
         false},
        {{"events", "SN-NONE"},
         1,
         {{"error", "no live controller has the serial number 'SN-NONE' (status 0x25)"},
          {"status", "0x25"}},
         false},
        {{"inband", "SN-FAIL", "a800"},
         1,
         {{"error", "failure reply: status 0x23, in-band error code 0x0042"},
          {"status", "0x23"},
          {"inband_error", "0x0042"}},
         false},
        {{"raw", "0204zz"}, 2, {{"error", "'0204zz' is not a hexadecimal byte string"}}, false},
        {{"mail", "set", "12", "a@b"},
         2,
         {{"error", "SLOT is a number from 0 to 11, not '12'"}},
         true},
        {{"mail"}, 2, {{"error", "usage: pellomar-cli mail list"}}, true},
        {{"alive", "--bogus"}, 2, {{"error", "unknown option '--bogus'"}}, true},
        {{"nosuch"}, 2, {{"error", "unknown command 'nosuch' (see --help)"}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        const CliRun r = Cli(agent.port(), args);
        EXPECT_EQ(r.code, c.exit) << r.err;
        EXPECT_EQ(r.out, "");
        Json j = OneDocument(r.err);
        ASSERT_TRUE(j.is_object()) << r.err;
        EXPECT_EQ(j["exit"], c.exit);
        for (const auto& [key, value] : c.want.items())
            EXPECT_EQ(j[key], value) << key;
        EXPECT_EQ(j.contains("usage"), c.usage) << r.err;
        if (c.usage) {
            EXPECT_EQ(j["usage"][0].get<std::string>().rfind("pellomar-cli ", 0), 0u);
        }
    }
    // No agent: the transport's message, exit 1, no status.
    const CliRun r = Cli(closedPort, {"--json", "alive"});
    EXPECT_EQ(r.code, 1);
    const Json j = OneDocument(r.err);
    EXPECT_EQ(Keys(j), (std::vector<std::string>{"error", "exit"}));
    EXPECT_EQ(j["error"].get<std::string>().rfind("127.0.0.1:" + std::to_string(closedPort), 0), 0u)
        << r.err;
}

// The mail settings through the agent's own request handling (the in-process server): what is
// set reads back, empty and NULL texts as null, the password only when asked for.
TEST(JsonCli, MailSettingsReadBackAsTheAgentKeepsThem) {
    ServerDirScope dir;
    const uint16_t port = TestServer().port;
    auto cli = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "--json");
        const CliRun r = Cli(port, args);
        EXPECT_EQ(r.code, 0) << testing::PrintToString(args) << r.out << r.err;
        return OneDocument(r.out);
    };
    cli({"mail", "set", "2", "ops@example.com"});
    cli({"mail", "set", "5", "gone@example.com"});
    cli({"mail", "clear", "5"});
    const Json slots = cli({"mail", "list"})["slots"];
    ASSERT_EQ(slots.size(), 12u);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(slots[i], (Json{{"slot", i},
                                  {"address", i == 2 ? Json("ops@example.com") : Json(nullptr)}}));

    cli({"mail", "server", "set", "1", "smtp.example.com:587"});
    cli({"mail", "server", "set", "3", "NULL"});
    cli({"mail", "server", "set", "4", "s3cr'et"});
    cli({"mail", "server", "set", "6", ""});
    cli({"mail", "enable", "on"});
    const Json server = cli({"mail", "server"});
    EXPECT_EQ(server["server"], "smtp.example.com:587");
    EXPECT_TRUE(server["user"].is_null());
    EXPECT_EQ(server["password_set"], true);
    EXPECT_FALSE(server.contains("password"));
    EXPECT_EQ(server["enabled"], true);
    EXPECT_TRUE(server["note"].is_null());
    EXPECT_EQ(cli({"mail", "server", "--show-password"})["password"], "s3cr'et");
    cli({"mail", "server", "set", "4", "NULL"});
    cli({"mail", "enable", "off"});
    const Json after = cli({"mail", "server", "get", "--show-password"});
    EXPECT_EQ(after["password_set"], false);
    EXPECT_TRUE(after["password"].is_null());
    EXPECT_EQ(after["enabled"], false);
}

TEST(Cli, CommonOptionsAreTakenAnywhereAndDashDashEndsTheOptions) {
    CannedAgent agent(&Agent);
    const std::string port = std::to_string(agent.port());
    struct Case {
        std::vector<std::string> args;
        std::string out;  // the output, or a part of it
    } cases[] = {
        {{"alive", "--port", port}, "agent at 127.0.0.1:" + port + " is alive\n"},
        {{"alive", "--host", "127.0.0.1", "--timeout", "5", "--port", port},
         "agent at 127.0.0.1:" + port + " is alive\n"},
        {{"echo", "--port", port, "hi", "--json"}, "{\"text\":\"hi\"}\n"},
        {{"--port", port, "echo", "--", "--port"}, "--port\n"},
        {{"--port", port, "--", "echo", "--json"}, "--json\n"},
        // The command's own option, before and after the common ones.
        {{"history", "--newest-first", "SN-A", "--port", port, "--json"}, "\"count\":2,"},
        {{"mail", "server", "--port", port, "--show-password"},
         "SMTP password                        s3cret\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<std::string> argv = {BinPath("pellomar-cli")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string out, err;
        ASSERT_EQ(RunProgram(argv, &out, &err), 0) << out << err;
        EXPECT_NE(out.find(c.out), std::string::npos) << out;
    }
}

TEST(Cli, MalformedArgumentsExitWith2AndSendNothing) {
    CannedAgent agent(&Agent);
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"raw", "02zz"}, "pellomar-cli: '02zz' is not a hexadecimal byte string"},
        {{"raw", "020"}, "is not a hexadecimal byte string"},
        {{"inband", "SN-A", "a8g0"}, "pellomar-cli: 'a8g0' is not a hexadecimal byte string"},
        {{"alive", "--timeout", "5x"}, "pellomar-cli: bad timeout '5x'"},
        {{"alive", "--timeout", "0"}, "bad timeout '0'"},
        {{"alive", "--port", "70000"}, "pellomar-cli: bad port '70000'"},
        {{"alive", "--port"}, "pellomar-cli: --port needs a value"},
        {{"echo", "--hi"}, "pellomar-cli: unknown option '--hi'\nusage: pellomar-cli echo TEXT"},
        {{"history", "SN-A", "--", "--newest-first"}, "usage: pellomar-cli history"},
        {{"upload", "SN-A", "f", "--cmd", "147"}, "bad value '147' for --cmd"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const CliRun r = Cli(agent.port(), c.args);
        EXPECT_EQ(r.code, 2) << r.out << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_TRUE(agent.Requests().empty());
}

TEST(JsonCli, DiscoverListsTheAnsweringAgents) {
    plat::Socket fake(plat::SockUdpBind(0x7F000001, 0, nullptr, nullptr, 0));
    ASSERT_TRUE(fake.Valid());
    ChildProcess cli;
    // --port and --timeout after the command are discover's own.
    ASSERT_TRUE(
        cli.Start({BinPath("pellomar-cli"), "--json", "discover", "--target", "127.0.0.1", "--port",
                   std::to_string(plat::SockLocalPort(fake.Get())), "--timeout", "1.5"}));
    Bytes buf(disc::DISC_DATAGRAM_MAX);
    uint32_t from = 0;
    uint16_t fromPort = 0;
    const int n = plat::SockUdpRecvFrom(fake.Get(), buf.data(), static_cast<int>(buf.size()), 20000,
                                        &from, &fromPort, nullptr, 0);
    disc::DiscProbe p;
    ASSERT_TRUE(
        disc::ParseDiscProbe(buf.data(), static_cast<size_t>(n), disc::DISC_PROBE_SIZE, &p));
    uint8_t a[disc::DISC_ANSWER_MAX];
    const size_t len = disc::BuildDiscAnswer(p.lNonce, 8923, 3, 7, 1, "rack-7", a, sizeof a);
    ASSERT_EQ(plat::SockUdpSendTo(fake.Get(), from, fromPort, a, static_cast<int>(len), nullptr, 0),
              static_cast<int>(len));
    ASSERT_EQ(cli.Wait(std::chrono::seconds(30)), 0) << cli.Stderr();
    EXPECT_EQ(OneDocument(cli.Stdout()), (Json{{"agents",
                                                {{{"address", "127.0.0.1"},
                                                  {"port", 8923},
                                                  {"version", "3.7.1"},
                                                  {"host", "rack-7"}}}}}));
}

}  // namespace
