// pellomar-cli's output: the JSON documents on standard output, and the messages on standard
// error as text lines or, with --json, as one error object at the end. Also the command-line
// checks that several commands share.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CliCommands.h"

namespace {

struct OutputState {
    bool json = false;
    std::vector<std::string> messages;
    std::vector<std::string> usage;
    CliJsonDoc fields = CliJsonDoc::object();
};

OutputState& State() {
    static OutputState state;
    return state;
}

CLI_PRINTF(1, 0) std::string Format(const char* fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n <= 0) return std::string();
    std::string s(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(s.data(), s.size(), fmt, ap);
    s.resize(static_cast<size_t>(n));
    return s;
}

std::string Dump(const CliJsonDoc& doc) {
    return doc.dump(-1, ' ', false, CliJsonDoc::error_handler_t::replace);
}

CLI_PRINTF(1, 0) void Message(const char* fmt, va_list ap) {
    const std::string text = Format(fmt, ap);
    if (State().json) {
        State().messages.push_back(text);
    } else {
        std::fprintf(stderr, "pellomar-cli: %s\n", text.c_str());
    }
}

}  // namespace

bool CliJson() {
    return State().json;
}
void CliSetJson(bool on) {
    State().json = on;
}

void CliPrintJson(const CliJsonDoc& doc) {
    const std::string line = Dump(doc);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void CliMessage(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    Message(fmt, ap);
    va_end(ap);
}

int CliFail(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    Message(fmt, ap);
    va_end(ap);
    return CLI_FAIL;
}

int CliBadArgument(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    Message(fmt, ap);
    va_end(ap);
    return CLI_USAGE;
}

void CliNote(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string text = Format(fmt, ap);
    va_end(ap);
    if (State().json) {
        const std::string line = Dump(CliJsonDoc{{"note", text}});
        std::fprintf(stderr, "%s\n", line.c_str());
    } else {
        std::fprintf(stderr, "pellomar-cli: note: %s\n", text.c_str());
    }
}

void CliFailureStatus(uint8_t status) {
    State().fields["status"] = CliHexByte(status);
}

bool CliFailureReply(const gui::Bytes& body, uint8_t* status) {
    uint8_t st = 0;
    if (!gui::IsFailureReply(body, &st)) return false;
    CliFailureStatus(st);
    if (status != nullptr) *status = st;
    return true;
}

void CliErrorField(const std::string& key, const CliJsonDoc& value) {
    State().fields[key] = value;
}

int CliUsage(const char* cmd) {
    for (const CliCommand& c : CliCommandList()) {
        if (std::strcmp(c.name, cmd) != 0) continue;
        if (State().json)
            State().usage.push_back(std::string("pellomar-cli ") + c.usage);
        else
            std::fprintf(stderr, "usage: pellomar-cli %s\n", c.usage);
    }
    return CLI_USAGE;
}

int CliFinish(int code) {
    const OutputState& s = State();
    if (!s.json || code == CLI_OK) return code;
    std::string text;
    for (const std::string& m : s.messages)
        text += (text.empty() ? "" : "; ") + m;
    if (text.empty()) text = s.usage.empty() ? "failed" : "usage: " + s.usage.front();
    CliJsonDoc err = {{"error", text}};
    for (const auto& [key, value] : s.fields.items())
        err[key] = value;
    if (!s.usage.empty()) err["usage"] = s.usage;
    err["exit"] = code;
    const std::string line = Dump(err);
    std::fprintf(stderr, "%s\n", line.c_str());
    return code;
}

std::string CliHexByte(uint8_t b) {
    char t[8];
    std::snprintf(t, sizeof t, "0x%02x", b);
    return t;
}

bool CliExchange(const CliContext& ctx, const gui::Bytes& body, gui::Reply* reply) {
    *reply = gui::Exchange(ctx.ep, body);
    if (!reply->ok) {
        CliMessage("%s:%u: %s", ctx.ep.host.c_str(), static_cast<unsigned>(ctx.ep.port),
                   reply->error.c_str());
        return false;
    }
    return true;
}

bool CliCheckSerial(const std::string& sn) {
    if (sn.empty() || sn.size() > REQ_SN_SIZE) {
        CliMessage("a serial number has 1 to %u characters: '%s'", REQ_SN_SIZE, sn.c_str());
        return false;
    }
    return true;
}

bool CliParseSeconds(const char* text, double maxS, int* ms) {
    char* end = nullptr;
    const double s = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(s > 0) || s > maxS) return false;
    *ms = std::max(1, static_cast<int>(s * 1000));
    return true;
}
