// controllers, mail, clear-events: the configuration requests (type 2).
// doc/protocol-config.md describes the codes these commands send.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CliCommands.h"
#include "controller/CtlrDefs.h"
#include "mail/MailConfig.h"
#include "protocol/ConfigCodes.h"
#include "protocol/GuiFrame.h"
#include "protocol/SysStatus.h"

namespace {

// What a failure status of a configuration request means to the user.
const char* StatusMeaning(uint8_t status) {
    switch (status) {
        case SYSFAIL_CFGCODE_UNKNOWN:
            return "the agent does not know this configuration code";
        case SYSFAIL_CTLR_INDEX_EMPTY:
            return "no live controller at that number";
        case SYSFAIL_MAIL_INDEX_ERR:
            return "slot out of range (the agent has slots 0 to 11)";
        case SYSFAIL_CFG_TEXT_TOO_LONG:
            return "the text is longer than the agent stores";
        case SYSFAIL_CFG_REQ_LENGTH_ERR:
            return "the agent found the request shorter than its length byte";
        case SYSFAIL_CFG_TEXT_BAD_CHAR:
            return "the agent refuses blanks and control characters in the text";
        case SYSFAIL_MAIL_TEST_BUSY:
            return "a test mail was sent less than 10 s ago; try again shortly";
        case SYSFAIL_MAIL_TEST_FAIL:
            return "the agent could not start the test mail, or cannot tell its outcome here";
        default:
            return "refused";
    }
}

// One configuration request. True when the agent answered with a reply of this code, its
// status SYS_SUCCESS and at least `minLen` bytes; otherwise prints why (a failure reply with its
// meaning) and returns false.
bool ConfigExchange(const CliContext& ctx, int8_t code, const gui::Bytes& data, size_t minLen,
                    gui::Reply* r) {
    if (!CliExchange(ctx, gui::ConfigRequest(static_cast<uint8_t>(code), data), r)) return false;
    const gui::Bytes& b = r->body;
    uint8_t status = 0;
    if (CliFailureReply(b, &status)) {
        CliMessage("failure reply to configuration code %d: status 0x%02x, %s", code, status,
                   StatusMeaning(status));
        return false;
    }
    if (b.size() < minLen || b.size() <= CFG_OFF_STATUS || b[REQ_OFF_TYPE] != REQ_SERVER_CONFIG ||
        b[CFG_OFF_CODE] != static_cast<uint8_t>(code) || b[CFG_OFF_STATUS] != SYS_SUCCESS) {
        CliMessage("unexpected reply to configuration code %d: %s", code, gui::Hex(b).c_str());
        return false;
    }
    return true;
}

// A text from the agent made safe to print: control characters and bytes of 0x7f and above
// are shown as \xNN.
std::string Printable(const uint8_t* p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] < 0x20 || p[i] >= 0x7f) {
            char tmp[8];
            std::snprintf(tmp, sizeof tmp, "\\x%02x", p[i]);
            s += tmp;
        } else {
            s += static_cast<char>(p[i]);
        }
    }
    return s;
}

// The bytes at `p` up to a NUL, at most `n`.
std::string RawCText(const uint8_t* p, size_t n) {
    size_t len = 0;
    while (len < n && p[len] != 0)
        ++len;
    return std::string(reinterpret_cast<const char*>(p), len);
}

std::string Printable(const std::string& s) {
    return Printable(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// The text of `n` bytes at `p` up to a NUL, made safe to print.
std::string CText(const uint8_t* p, size_t n) {
    return Printable(RawCText(p, n));
}

// A number of base `base` from `lo` to `hi` as strtol reads it, with nothing after it.
bool ParseNumber(const std::string& s, long lo, long hi, long* out, int base = 10) {
    if (s.empty()) return false;
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, base);
    if (*end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// A text the agent can store in a slot or item of `maxChars` characters and read back from its
// file: no blanks, no control characters. Prints why not and returns false.
bool CheckStoredText(const std::string& what, const std::string& text, size_t maxChars) {
    if (text.size() > maxChars) {
        CliMessage("%s has %zu characters; the agent stores at most %zu", what.c_str(), text.size(),
                   maxChars);
        return false;
    }
    for (unsigned char c : text) {
        if (c <= 0x20 || c == 0x7f) {
            CliMessage(
                "%s may not contain blanks or control characters (the agent's files keep one "
                "word per line)",
                what.c_str());
            return false;
        }
    }
    return true;
}

// Prints rows as a table: each column as wide as its widest cell, two blanks between columns.
void PrintTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> width;
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i) {
            if (width.size() <= i) width.push_back(0);
            width[i] = std::max(width[i], row[i].size());
        }
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
}

// ---- controllers ----

// The fields of a code-18 description: "Server:" number "@1" serial "@2" host "@3" ident95 "@4"
// ident107 "@5" model "@6" firmware "@7" page-20 byte (hex) "GuiSrvEnd".
struct CtlrDescription {
    std::string number, serial, host, ident95, ident107, model, firmware, page20;
};

bool ParseDescription(const std::string& text, CtlrDescription* d) {
    const std::string prefix = "Server:", suffix = "GuiSrvEnd";
    if (text.rfind(prefix, 0) != 0 || text.size() < prefix.size() + suffix.size() ||
        text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::string body =
        text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
    std::string* fields[] = {&d->number,   &d->serial, &d->host,     &d->ident95,
                             &d->ident107, &d->model,  &d->firmware, &d->page20};
    size_t pos = 0;
    for (int k = 1; k <= 7; ++k) {
        const std::string marker = "@" + std::to_string(k);
        size_t at = body.find(marker, pos);
        if (at == std::string::npos) return false;
        *fields[k - 1] = body.substr(pos, at - pos);
        pos = at + marker.size();
    }
    d->page20 = body.substr(pos);
    return true;
}

// A number field of a description, base `base`, from `lo` to `hi`: at most 8 characters, a digit
// first (a '-' may precede it in base 10), so none of the blanks or '+' that strtol would take.
bool ParseField(const std::string& s, int base, long lo, long hi, long* out) {
    const size_t first = base == 10 && !s.empty() && s[0] == '-' ? 1 : 0;
    if (s.size() <= first || s.size() > 8) return false;
    const int c = static_cast<uint8_t>(s[first]);
    if (base == 16 ? !std::isxdigit(c) : !std::isdigit(c)) return false;
    return ParseNumber(s, lo, hi, out, base);
}

// Adds the fields of a description to a controller's JSON object; nothing when a number in it
// isn't one.
void AddDescriptionFields(const CtlrDescription& d, CliJsonDoc* c) {
    long ident95 = 0, ident107 = 0, unitByte = 0;
    if (!ParseField(d.ident95, 10, -1, 255, &ident95) ||
        !ParseField(d.ident107, 10, 0, 255, &ident107) ||
        !ParseField(d.page20, 16, 0, 255, &unitByte))
        return;
    (*c)["host"] = d.host;
    (*c)["ident95"] = ident95;
    (*c)["ident107"] = ident107;
    (*c)["model"] = d.model;
    (*c)["firmware"] = d.firmware;
    (*c)["unit_byte"] = unitByte;
}

// One controller of the listing: its JSON object and its table row.
struct ListedCtlr {
    CliJsonDoc json;
    std::vector<std::string> row;
    std::string unparsed;  // a description without its fields, printed below the table
};

enum class CtlrAsk { Listed, Gone, Failed };

// A unit marker as a role: the primary unit, or secondary unit 1 to 3 behind it.
std::string UnitRole(uint8_t mark) {
    if (mark == 0) return "primary";
    if (mark >= 16 && mark <= 18) return "secondary " + std::to_string(mark - 15);
    return "unit marker " + std::to_string(mark);
}

// What code 0x41 tells of a number. The agent answers it from its table, asking no controller.
struct CtlrStatus {
    bool known = false;    // the agent answered the code (an older agent refuses it)
    bool present = false;  // the number holds a live controller
    uint8_t unitMark = 0;
    uint8_t relayFailures = 0;
};

// Asks code 0x41 for number `no`. A failure reply, or any reply that is not this code's answer,
// leaves `known` false. False only when the exchange itself failed (the reason printed).
bool AskCtlrStatus(const CliContext& ctx, uint8_t no, CtlrStatus* st) {
    gui::Reply r;
    if (!CliExchange(ctx, gui::ConfigRequest(CFGCODE_GET_CTRL_STATUS, {0, no}), &r)) return false;
    const gui::Bytes& b = r.body;
    *st = CtlrStatus{};
    if (b.size() < CFG_CTRL_STATUS_REPLY_SIZE || b[REQ_OFF_TYPE] != REQ_SERVER_CONFIG ||
        b[CFG_OFF_CODE] != static_cast<uint8_t>(CFGCODE_GET_CTRL_STATUS) ||
        b[CFG_OFF_STATUS] != SYS_SUCCESS || b[4] != no)
        return true;
    st->known = true;
    st->present = b[5] == 1;
    st->unitMark = b[6];
    st->relayFailures = b[7];
    return true;
}

// Asks the agent for number n: its serial (code 4), then its description (code 18). What code
// 0x41 told of the number (`st`) gives the role and the failed relays of the JSON object.
CtlrAsk AskCtlr(const CliContext& ctx, unsigned n, const CtlrStatus& st, ListedCtlr* out) {
    const uint8_t no = static_cast<uint8_t>(n);
    out->row = {std::to_string(n)};
    out->json = {{"number", n}, {"serial", nullptr}, {"present", false}, {"description", nullptr}};
    gui::Reply sn;
    if (!CliExchange(ctx, gui::ConfigRequest(CFGCODE_GET_CTRL_SN, {0, no}), &sn))
        return CtlrAsk::Failed;
    uint8_t status = 0;
    const bool refused = gui::IsFailureReply(sn.body, &status);
    if (refused && status == SYSFAIL_CTLR_INDEX_EMPTY) {
        out->row.push_back("(gone since the count)");
        return CtlrAsk::Gone;
    }
    if (refused) CliFailureStatus(status);
    if (refused || sn.body.size() < CFG_OFF_BYTE4 + CTLR_SN_SIZE - 1 ||
        sn.body[CFG_OFF_STATUS] != SYS_SUCCESS) {
        CliFail("unexpected reply to configuration code 4: %s", gui::Hex(sn.body).c_str());
        return CtlrAsk::Failed;
    }
    out->row.push_back(CText(sn.body.data() + CFG_OFF_BYTE4, CTLR_SN_SIZE - 1));
    out->json["serial"] = RawCText(sn.body.data() + CFG_OFF_BYTE4, CTLR_SN_SIZE - 1);

    gui::Reply r;
    if (!ConfigExchange(ctx, CFGCODE_GET_CTRL_INFO, {0, no}, CFG_CTRL_INFO_REPLY_SIZE, &r))
        return CtlrAsk::Failed;
    if (r.body[5] != 1) {
        out->row.push_back("(gone since the count)");
        return CtlrAsk::Gone;
    }
    const std::string raw = RawCText(r.body.data() + CFG_CTRL_INFO_TEXT_OFF,
                                     CFG_CTRL_INFO_REPLY_SIZE - CFG_CTRL_INFO_TEXT_OFF);
    out->json["present"] = true;
    out->json["description"] = raw;
    CtlrDescription d;
    const bool parsed = ParseDescription(raw, &d);
    if (parsed) AddDescriptionFields(d, &out->json);
    if (st.present) {
        out->json["role"] = UnitRole(st.unitMark);
        out->json["relay_failures"] = st.relayFailures;
    }
    if (parsed) {
        for (const std::string* f :
             {&d.host, &d.ident95, &d.ident107, &d.model, &d.firmware, &d.page20})
            out->row.push_back(Printable(*f));
    } else {
        out->row.push_back("(see below)");
        out->unparsed = std::to_string(n) + ": " + Printable(raw);
    }
    return CtlrAsk::Listed;
}

// Whether number n holds a controller, by its description request (code 18), which answers an
// empty number without a failure. Asked only of an agent that refuses code 0x41, since code 18
// makes the agent identify the controller again.
bool CtlrNumberHeld(const CliContext& ctx, unsigned n, bool* held) {
    gui::Reply r;
    if (!ConfigExchange(ctx, CFGCODE_GET_CTRL_INFO, {0, static_cast<uint8_t>(n)},
                        CFG_CTRL_INFO_REPLY_SIZE, &r))
        return false;
    *held = r.body[5] == 1;
    return true;
}

// With --no-rescan the agent's table is listed as it stands, without code 3: the agent probes no
// port, renumbers nothing and reloads no history, so a console may refresh the list every few
// seconds. A rescan numbers the controllers 0 upwards without a gap, so the listing ends at the
// first empty number; numbers that empty meanwhile are left out, and the count is of those listed.
// Whether a number is held is asked with code 0x41, which the agent answers from its table; its
// answer also gives the JSON object's role and failed relays. An agent that refuses code 0x41 is
// not asked it again: code 18 then tells whether a number is held.
int RunControllers(const CliContext& ctx) {
    bool rescan = true;
    for (size_t i = 0; i < ctx.args.size(); ++i) {
        if (ctx.IsOption(i) && ctx.args[i] == "--no-rescan")
            rescan = false;
        else
            return CliUsage("controllers");
    }
    unsigned count = MAX_CTLR_NUM;
    if (rescan) {
        gui::Reply r;
        if (!ConfigExchange(ctx, CFGCODE_GET_CTRL_COUNT, {}, CFG_OFF_BYTE4 + 1, &r))
            return CLI_FAIL;
        count = r.body[CFG_OFF_BYTE4];
    }

    bool askStatus = !rescan || CliJson();
    std::vector<ListedCtlr> listed;
    for (unsigned n = 0; n < count && n < MAX_CTLR_NUM; ++n) {
        CtlrStatus st;
        if (askStatus) {
            if (!AskCtlrStatus(ctx, static_cast<uint8_t>(n), &st)) return CLI_FAIL;
            askStatus = st.known;
        }
        if (!rescan) {
            bool held = st.present;
            if (!st.known && !CtlrNumberHeld(ctx, n, &held)) return CLI_FAIL;
            if (!held) break;
        }
        ListedCtlr c;
        const CtlrAsk got = AskCtlr(ctx, n, st, &c);
        if (got == CtlrAsk::Failed) return CLI_FAIL;
        if (got == CtlrAsk::Gone && !rescan) continue;
        listed.push_back(std::move(c));
    }
    if (!rescan) count = static_cast<unsigned>(listed.size());

    if (CliJson()) {
        CliJsonDoc list = CliJsonDoc::array();
        for (ListedCtlr& c : listed)
            list.push_back(std::move(c.json));
        CliPrintJson({{"count", count}, {"rescanned", rescan}, {"controllers", std::move(list)}});
        return CLI_OK;
    }
    std::printf("%u controller%s\n", count, count == 1 ? "" : "s");
    if (count == 0) return CLI_OK;
    std::vector<std::vector<std::string>> rows = {
        {"NO", "SERIAL", "HOST", "IDENT95", "IDENT107", "MODEL", "FIRMWARE", "PAGE20"}};
    for (const ListedCtlr& c : listed)
        rows.push_back(c.row);
    PrintTable(rows);
    for (const ListedCtlr& c : listed)
        if (!c.unparsed.empty()) std::printf("description %s\n", c.unparsed.c_str());
    return CLI_OK;
}

// ---- mail ----

constexpr size_t kAddrChars = MAIL_ADDR_SIZE - 1;

bool ParseSlot(const std::string& s, uint8_t* slot) {
    long v = 0;
    if (!ParseNumber(s, 0, MAX_MIS_SZ - 1, &v)) {
        CliMessage("SLOT is a number from 0 to %d, not '%s'", MAX_MIS_SZ - 1, s.c_str());
        return false;
    }
    *slot = static_cast<uint8_t>(v);
    return true;
}

// A stored text for the JSON documents: up to a NUL; null when it holds nothing (empty, all
// blanks, or NULL).
CliJsonDoc StoredText(const std::string& text) {
    const std::string t = text.substr(0, text.find('\0'));
    if (t == MAIL_NULL_TEXT || t.find_first_not_of(' ') == std::string::npos) return nullptr;
    return t;
}

int MailList(const CliContext& ctx) {
    std::vector<std::vector<std::string>> rows = {{"SLOT", "ADDRESS"}};
    CliJsonDoc slots = CliJsonDoc::array();
    for (uint8_t slot = 0; slot < MAX_MIS_SZ; ++slot) {
        gui::Reply r;
        if (!ConfigExchange(ctx, CFGCODE_GET_MAIL_ADDR, {0, slot}, 6, &r)) return CLI_FAIL;
        const size_t len = r.body[5];
        if (r.body.size() < 6 + len)
            return CliFail("unexpected reply to configuration code 2: %s",
                           gui::Hex(r.body).c_str());
        const std::string text(r.body.begin() + 6, r.body.begin() + 6 + static_cast<long>(len));
        slots.push_back({{"slot", slot}, {"address", StoredText(text)}});
        std::string shown;
        if (text == MAIL_ADDR_EMPTY_TEXT)
            shown = "(empty)";
        else if (text == MAIL_NULL_TEXT)
            shown = "NULL (receives no mail)";
        else
            shown = Printable(r.body.data() + 6, len);
        rows.push_back({std::to_string(slot), shown});
    }
    if (CliJson())
        CliPrintJson({{"slots", std::move(slots)}});
    else
        PrintTable(rows);
    return CLI_OK;
}

// The client's own check of a mail address, before it is sent to the agent: local@domain, the
// local part of letters, digits and !#$%&'*+/=?^_`{|}~.-, the domain of labels of letters,
// digits and '-' (not at either end of a label) joined by dots.
bool IsMailAddress(const std::string& a) {
    const size_t at = a.find('@');
    if (at == std::string::npos || at == 0 || at + 1 >= a.size() ||
        a.find('@', at + 1) != std::string::npos)
        return false;
    for (size_t i = 0; i < at; ++i) {
        const char c = a[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) &&
            std::strchr("!#$%&'*+/=?^_`{|}~.-", c) == nullptr)
            return false;
    }
    const std::string domain = a.substr(at + 1);
    if (domain.front() == '.' || domain.back() == '.' || domain.find("..") != std::string::npos)
        return false;
    for (size_t i = 0; i < domain.size(); ++i) {
        const char c = domain[i];
        if (c == '.') continue;
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
        if (c == '-' &&
            (i == 0 || domain[i - 1] == '.' || i + 1 == domain.size() || domain[i + 1] == '.'))
            return false;
    }
    return true;
}

int MailSet(const CliContext& ctx) {
    uint8_t slot = 0;
    if (ctx.args.size() != 3 || !ParseSlot(ctx.args[1], &slot)) return CliUsage("mail");
    const std::string& addr = ctx.args[2];
    if (addr.empty()) return CliBadArgument("an empty address: use 'mail clear %u'", slot);
    if (!CheckStoredText("an address", addr, kAddrChars)) return CLI_USAGE;
    if (addr != MAIL_NULL_TEXT && !IsMailAddress(addr))
        return CliBadArgument("'%s' is no mail address (name@example.com; NULL for none)",
                              addr.c_str());
    gui::Bytes data = {static_cast<uint8_t>(addr.size() + 1), slot};
    data.insert(data.end(), addr.begin(), addr.end());
    gui::Reply r;
    if (!ConfigExchange(ctx, CFGCODE_UPDATE_MAIL_ADDR, data, 4, &r)) return CLI_FAIL;
    if (CliJson())
        CliPrintJson({{"ok", true}, {"slot", slot}, {"address", addr}});
    else
        std::printf("slot %u: %s\n", slot, addr.c_str());
    return CLI_OK;
}

int MailClear(const CliContext& ctx) {
    uint8_t slot = 0;
    if (ctx.args.size() != 2 || !ParseSlot(ctx.args[1], &slot)) return CliUsage("mail");
    gui::Reply r;
    if (!ConfigExchange(ctx, CFGCODE_CLEAR_MAIL_ADDR, {0, slot}, 4, &r)) return CLI_FAIL;
    if (CliJson())
        CliPrintJson({{"ok", true}, {"slot", slot}, {"address", nullptr}});
    else
        std::printf("slot %u: (empty)\n", slot);
    return CLI_OK;
}

struct ServerItem {
    int no;               // 1 to 6 as the user numbers them
    const char* name;     // its name in the JSON documents
    const char* purpose;  // what the item is for
    int8_t getCode;       // 0: read through code 13 (the switch)
    int8_t setCode;       // 0: set through 'mail enable'
    size_t maxChars;
};

const ServerItem kItems[] = {
    {1, "server", "SMTP server (host or host:port)", CFGCODE_GET_MAILSRV_1, CFGCODE_SET_MAILSRV_1,
     MAIL_SRV_LONG_SIZE - 1},
    {2, "sender", "sender address", CFGCODE_GET_MAILSRV_2, CFGCODE_SET_MAILSRV_2,
     MAIL_SRV_LONG_SIZE - 1},
    {3, "user", "SMTP user (NULL: no authentication)", CFGCODE_GET_MAILSRV_3, CFGCODE_SET_MAILSRV_3,
     MAIL_SRV_SHORT_SIZE - 1},
    {4, "password", "SMTP password", CFGCODE_GET_MAILSRV_4, CFGCODE_SET_MAILSRV_4,
     MAIL_SRV_SHORT_SIZE - 1},
    {5, "enabled", "mail switch", 0, 0, 0},
    {6, "note", "stored only (not used for mail)", CFGCODE_GET_MAILSRV_6, CFGCODE_SET_MAILSRV_6,
     MAIL_SRV_SHORT_SIZE - 1},
};
constexpr int kPasswordItem = 4;

int MailServerGet(const CliContext& ctx) {
    std::vector<std::vector<std::string>> rows = {{"ITEM", "FOR", "VALUE"}};
    CliJsonDoc doc = CliJsonDoc::object();
    for (const ServerItem& item : kItems) {
        gui::Reply r;
        std::string value;
        if (item.getCode == 0) {
            if (!ConfigExchange(ctx, CFGCODE_GET_MAIL_ENABLE, {}, 5, &r)) return CLI_FAIL;
            value = r.body[4] == 1 ? "on" : "off";
            doc[item.name] = r.body[4] == 1;
        } else {
            if (!ConfigExchange(ctx, item.getCode, {}, 5, &r)) return CLI_FAIL;
            const size_t len = r.body[4];
            if (r.body.size() < 5 + len)
                return CliFail("unexpected reply to configuration code %d: %s", item.getCode,
                               gui::Hex(r.body).c_str());
            const std::string text(r.body.begin() + 5, r.body.begin() + 5 + static_cast<long>(len));
            const CliJsonDoc stored = StoredText(text);
            if (item.no == kPasswordItem) {
                doc["password_set"] = !stored.is_null();
                if (ctx.showPassword) doc[item.name] = stored;
            } else {
                doc[item.name] = stored;
            }
            if (text.empty())
                value = "(empty)";
            else if (text == MAIL_NULL_TEXT)
                value = "NULL (none)";
            else if (item.no == kPasswordItem && !ctx.showPassword)
                value = "******** (--show-password shows it)";
            else
                value = Printable(r.body.data() + 5, len);
        }
        rows.push_back({std::to_string(item.no), item.purpose, value});
    }
    if (CliJson())
        CliPrintJson(doc);
    else
        PrintTable(rows);
    return CLI_OK;
}

int MailServerSet(const CliContext& ctx) {
    long no = 0;
    if (ctx.args.size() != 4 || !ParseNumber(ctx.args[2], 1, 6, &no)) {
        if (ctx.args.size() == 4)
            CliMessage("ITEM is 1, 2, 3, 4 or 6, not '%s'", ctx.args[2].c_str());
        return CliUsage("mail");
    }
    const ServerItem& item = kItems[no - 1];
    if (item.setCode == 0)
        return CliBadArgument("item 5 is the mail switch: use 'mail enable on|off'");
    const std::string& text = ctx.args[3];
    if (!CheckStoredText("item " + std::to_string(no), text, item.maxChars)) return CLI_USAGE;
    if (no == 2 && !IsMailAddress(text))
        return CliBadArgument("the sender '%s' is no mail address (agent@example.com)",
                              text.c_str());
    gui::Bytes data = {static_cast<uint8_t>(text.size())};
    data.insert(data.end(), text.begin(), text.end());
    gui::Reply r;
    if (!ConfigExchange(ctx, item.setCode, data, 4, &r)) return CLI_FAIL;
    if (CliJson()) {
        CliJsonDoc doc = {{"ok", true}, {"item", no}, {"name", item.name}};
        if (no != kPasswordItem || ctx.showPassword) doc["value"] = StoredText(text);
        CliPrintJson(doc);
    } else if (no == kPasswordItem) {
        std::printf("item 4 (%s) set\n", item.purpose);
    } else {
        std::printf("item %ld (%s): %s\n", no, item.purpose,
                    text.empty() ? "(empty)" : text.c_str());
    }
    return CLI_OK;
}

int MailEnable(const CliContext& ctx) {
    if (ctx.args.size() != 2 || (ctx.args[1] != "on" && ctx.args[1] != "off"))
        return CliUsage("mail");
    const bool on = ctx.args[1] == "on";
    gui::Reply r;
    if (!ConfigExchange(ctx, CFGCODE_SET_MAIL_ENABLE, {0, static_cast<uint8_t>(on ? 1 : 0)}, 4, &r))
        return CLI_FAIL;
    if (CliJson())
        CliPrintJson({{"ok", true}, {"enabled", on}});
    else
        std::printf("mail is %s\n", on ? "on" : "off");
    return CLI_OK;
}

// Code 0x40: the agent mails a test message to every recipient and tells each one's outcome.
int MailTest(const CliContext& ctx) {
    if (ctx.args.size() != 1) return CliUsage("mail");
    CliContext longer = ctx;
    // The agent answers once every recipient's mailer has: give it its 120 s and some.
    longer.ep.timeoutMs = std::max(ctx.ep.timeoutMs, (CFG_TEST_MAIL_WAIT_S + 30) * 1000);
    gui::Reply r;
    if (!ConfigExchange(longer, CFGCODE_SEND_TEST_MAIL, {}, 5, &r)) return CLI_FAIL;
    const gui::Bytes& b = r.body;
    const size_t n = b[4];
    size_t pos = 5;
    auto text = [&](std::string* out) {
        if (pos >= b.size() || pos + 1 + b[pos] > b.size()) return false;
        *out = Printable(b.data() + pos + 1, b[pos]);
        pos += 1 + b[pos];
        return true;
    };
    CliJsonDoc list = CliJsonDoc::array();
    size_t sent = 0;
    for (size_t i = 0; i < n; ++i) {
        if (pos >= b.size()) break;
        const bool ok = b[pos++] == 1;
        std::string address, reason, detail;
        if (!text(&address) || !text(&reason) || !text(&detail)) {
            CliMessage("malformed test mail reply: %s", gui::Hex(b).c_str());
            return CLI_FAIL;
        }
        sent += ok ? 1 : 0;
        if (CliJson()) {
            CliJsonDoc one = {{"address", address}, {"sent", ok}};
            if (!ok) {
                one["reason"] = reason;
                one["detail"] = detail;
            }
            list.push_back(one);
        } else if (ok) {
            std::printf("sent    %s\n", address.c_str());
        } else {
            std::printf("failed  %s  %s%s%s\n", address.c_str(), reason.c_str(),
                        detail.empty() ? "" : ": ", detail.c_str());
        }
    }
    if (CliJson()) CliPrintJson({{"recipients", list}, {"all_sent", n > 0 && sent == n}});
    if (n == 0) return CliFail("no recipient is configured: add one with 'mail set SLOT ADDRESS'");
    if (sent != n) return CliFail("%zu of %zu recipients failed", n - sent, n);
    return CLI_OK;
}

int RunMail(const CliContext& ctx) {
    if (ctx.args.empty()) return CliUsage("mail");
    const std::string& sub = ctx.args[0];
    if (sub == "list") return ctx.args.size() == 1 ? MailList(ctx) : CliUsage("mail");
    if (sub == "set") return MailSet(ctx);
    if (sub == "clear") return MailClear(ctx);
    if (sub == "enable") return MailEnable(ctx);
    if (sub == "test") return MailTest(ctx);
    if (sub == "server") {
        if (ctx.args.size() == 1 || (ctx.args.size() == 2 && ctx.args[1] == "get"))
            return MailServerGet(ctx);
        if (ctx.args[1] == "set") return MailServerSet(ctx);
    }
    return CliUsage("mail");
}

// ---- clear-events ----

int RunClearEvents(const CliContext& ctx) {
    if (ctx.args.size() != 1) return CliUsage("clear-events");
    const std::string& serial = ctx.args[0];
    if (serial.empty() || serial.size() > CTLR_SN_SIZE - 1)
        return CliBadArgument("a serial number has 1 to %d characters: '%s'", CTLR_SN_SIZE - 1,
                              serial.c_str());
    // The agent compares the first 16 bytes, NUL-padded.
    gui::Bytes sn(CTLR_SN_COMPARE, 0);
    for (size_t i = 0; i < serial.size() && i < sn.size(); ++i)
        sn[i] = static_cast<uint8_t>(serial[i]);

    // The agent answers the same whether a controller matched or not: find it first, so that a
    // mistyped serial number is reported.
    int found = -1;
    for (uint8_t n = 0; n < MAX_CTLR_NUM && found < 0; ++n) {
        gui::Reply r;
        if (!CliExchange(ctx, gui::ConfigRequest(CFGCODE_GET_CTRL_SN, {0, n}), &r)) return CLI_FAIL;
        if (r.body.size() >= CFG_OFF_BYTE4 + CTLR_SN_COMPARE &&
            r.body[CFG_OFF_STATUS] == SYS_SUCCESS &&
            std::equal(sn.begin(), sn.end(), r.body.begin() + CFG_OFF_BYTE4))
            found = n;
    }
    if (found < 0)
        return CliFail("no live controller has the serial number '%s'; nothing was cleared",
                       serial.c_str());

    gui::Bytes data = sn;  // bytes 3 to 18
    gui::Reply r;
    if (!ConfigExchange(ctx, CFGCODE_CLEAR_CTRL_EVENTS, data, 4, &r)) return CLI_FAIL;
    if (CliJson())
        CliPrintJson({{"ok", true}, {"serial", serial}, {"number", found}});
    else
        std::printf("recorded events of controller %d (%s) cleared\n", found, serial.c_str());
    return CLI_OK;
}

}  // namespace

CLI_COMMAND("controllers", "controllers [--no-rescan]",
            "rescan, then list the controllers: number, serial, description (codes 3, 4, 18); "
            "--no-rescan: as the agent holds them",
            40, "--no-rescan", &RunControllers);
CLI_COMMAND("mail", "mail list", "the twelve mail recipient slots (code 2)", 41, "", &RunMail);
CLI_COMMAND("mail", "mail set SLOT ADDRESS", "store a recipient in slot 0 to 11 (code 1)", 42, "",
            &RunMail);
CLI_COMMAND("mail", "mail clear SLOT", "empty a recipient slot (code 0)", 43, "", &RunMail);
CLI_COMMAND("mail", "mail server [get] [--show-password]",
            "the mail server items 1 to 6 (codes 5, 6, 11, 12, 13, 17)", 44, "", &RunMail);
CLI_COMMAND("mail", "mail server set ITEM TEXT",
            "set item 1 server, 2 sender, 3 user, 4 password or 6 (codes 7-10, 16)", 45, "",
            &RunMail);
CLI_COMMAND("mail", "mail enable on|off", "switch mail notification (item 5, code 14)", 46, "",
            &RunMail);
CLI_COMMAND("mail", "mail test",
            "send a test mail to every recipient, print each one's outcome (code 0x40)", 47, "",
            &RunMail);
CLI_COMMAND("clear-events", "clear-events SERIAL",
            "forget a controller's recorded event history in the agent (code 15)", 47, "",
            &RunClearEvents);
