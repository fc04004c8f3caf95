// inband, upload: in-band commands and package transfers to a controller (request type 1).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "CliCommands.h"
#include "common/Crc32.h"
#include "protocol/ByteOrder.h"
#include "protocol/DeviceCodes.h"
#include "protocol/GuiFrame.h"
#include "protocol/SysStatus.h"

namespace {

// Prints a failure reply of a type-1 request; true when `r` is one.
bool ReportFailure(const gui::Bytes& body) {
    uint8_t status = 0;
    if (!CliFailureReply(body, &status)) return false;
    if (body.size() == 6) {  // the status, then the controller's in-band error code
        unsigned code = GetLe16(body.data() + 4);
        char text[8];
        std::snprintf(text, sizeof text, "0x%04x", code);
        CliErrorField("inband_error", text);
        CliFail("failure reply: status 0x%02x, in-band error code 0x%04x", status, code);
    } else {
        CliFail(
            "failure reply: status 0x%02x%s", status,
            status == SYSFAIL_CTLR_NOT_FOUND ? " (no live controller has that serial number)" : "");
    }
    return true;
}

int RunInBand(const CliContext& ctx) {
    if (ctx.args.size() < 2) return CliUsage("inband");
    if (!CliCheckSerial(ctx.args[0])) return CLI_USAGE;
    std::string hex;
    for (size_t i = 1; i < ctx.args.size(); ++i)
        hex += ctx.args[i];
    gui::Bytes cmd;
    if (!gui::ParseHex(hex, &cmd) || cmd.empty())
        return CliBadArgument("'%s' is not a hexadecimal byte string", hex.c_str());
    gui::Reply r;
    if (!CliExchange(ctx, gui::ControllerRequest(REQ_INBAND_COMMAND, ctx.args[0], cmd), &r))
        return CLI_FAIL;
    if (ReportFailure(r.body)) return CLI_FAIL;
    if (r.body.size() < REP_OFF_ANSWER) return CliFail("short reply: %s", gui::Hex(r.body).c_str());
    // The answer: everything after the reply header.
    if (CliJson())
        CliPrintJson({{"serial", ctx.args[0]},
                      {"status", CliHexByte(r.body[3])},
                      {"answer", gui::Hex(r.body, REP_OFF_ANSWER)}});
    else
        std::printf("%s\n", gui::Hex(r.body, REP_OFF_ANSWER).c_str());
    return CLI_OK;
}

bool ParseByte(const std::string& s, int lo, int hi, int* out) {
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 0);
    if (s.empty() || *end != '\0' || v < lo || v > hi) return false;
    *out = static_cast<int>(v);
    return true;
}

int RunUpload(const CliContext& ctx) {
    std::vector<std::string> pos;
    int cmd = INBAND_CMD_PKG_148, sub = 0, arg = 0;
    bool subGiven = false, argGiven = false;
    for (size_t i = 0; i < ctx.args.size(); ++i) {
        const std::string& a = ctx.args[i];
        if (ctx.IsOption(i) && (a == "--cmd" || a == "--sub" || a == "--arg")) {
            if (i + 1 >= ctx.args.size()) return CliUsage("upload");
            const std::string& v = ctx.args[++i];
            bool ok = a == "--cmd"   ? ParseByte(v, INBAND_CMD_PKG_148, INBAND_CMD_PKG_150, &cmd)
                      : a == "--sub" ? (subGiven = true, ParseByte(v, 0, 1, &sub))
                                     : (argGiven = true, ParseByte(v, 0, 255, &arg));
            if (!ok) {
                CliMessage("bad value '%s' for %s", v.c_str(), a.c_str());
                return CliUsage("upload");
            }
        } else {
            pos.push_back(a);
        }
    }
    if (pos.size() != 2) return CliUsage("upload");
    if (!CliCheckSerial(pos[0])) return CLI_USAGE;
    if ((subGiven && cmd != INBAND_CMD_PKG_150) ||
        (argGiven && (cmd != INBAND_CMD_PKG_150 || sub != 1))) {
        CliMessage("--sub belongs to --cmd 150, --arg to --sub 1");
        return CliUsage("upload");
    }

    std::ifstream in(pos[1], std::ios::binary);
    if (!in) return CliFail("cannot read %s", pos[1].c_str());
    gui::Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return CliFail("cannot read %s", pos[1].c_str());

    // The command header of the request: code, count, 4 bytes not used, [sub], [arg].
    gui::Bytes head = {static_cast<uint8_t>(cmd), 0, 0, 0, 0, 0};
    if (cmd == INBAND_CMD_PKG_150) head.push_back(static_cast<uint8_t>(sub));
    if (cmd == INBAND_CMD_PKG_150 && sub == 1) head.push_back(static_cast<uint8_t>(arg));
    head[1] = static_cast<uint8_t>(head.size() - 1);  // h - 2; the agent rewrites it anyway
    const uint64_t bodyLen = REQ_OFF_DATA + head.size() + data.size();
    if (bodyLen > GUI_MAX_REQUEST_SIZE)
        return CliFail("%s is too large: the agent takes requests of at most %u bytes",
                       pos[1].c_str(), GUI_MAX_REQUEST_SIZE);
    if (bodyLen < GUI_INLINE_BUF_SIZE)
        CliNote(
            "the agent takes package commands only in requests of %u bytes or more (this one "
            "has %llu)",
            GUI_INLINE_BUF_SIZE, static_cast<unsigned long long>(bodyLen));
    gui::Bytes req = gui::ControllerRequest(REQ_INBAND_COMMAND, pos[0], head);
    req.insert(req.end(), data.begin(), data.end());

    CliContext big = ctx;
    // Large transfers take their time: at least a second per 8 MiB beyond the usual wait.
    big.ep.timeoutMs =
        std::max<int>(ctx.ep.timeoutMs, 30000 + static_cast<int>(data.size() / (8u << 20)) * 1000);
    auto t0 = std::chrono::steady_clock::now();
    gui::Reply r;
    if (!CliExchange(big, req, &r)) return CLI_FAIL;
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (ReportFailure(r.body)) return CLI_FAIL;
    if (r.body.size() != REP_OFF_ANSWER + head.size() + 1 || r.body[3] != SYS_SUCCESS)
        return CliFail("unexpected reply: %s", gui::Hex(r.body).c_str());
    const uint64_t packages = (data.size() + INBAND_PKG_SIZE - 1) / INBAND_PKG_SIZE;
    const uint32_t crc = gui::Crc32Update(0, data.data(), data.size());
    if (CliJson()) {
        char crcText[16];
        std::snprintf(crcText, sizeof crcText, "0x%08x", crc);
        CliPrintJson({{"serial", pos[0]},
                      {"file", pos[1]},
                      {"size", data.size()},
                      {"command", cmd},
                      {"packages", packages},
                      {"crc32", crcText},
                      {"seconds", secs},
                      {"status", CliHexByte(r.body[3])}});
        return CLI_OK;
    }
    std::printf(
        "uploaded %llu bytes with command %d in %llu packages, crc32 0x%08x, %.3f s (%.1f MiB/s)\n",
        static_cast<unsigned long long>(data.size()), cmd,
        static_cast<unsigned long long>(packages), crc, secs,
        secs > 0 ? static_cast<double>(data.size()) / secs / (1 << 20) : 0.0);
    return CLI_OK;
}

}  // namespace

CLI_COMMAND("inband", "inband SERIAL HEX",
            "send one in-band command (type 1) to a controller, print its answer as hex", 20, "",
            &RunInBand);
CLI_COMMAND("upload", "upload SERIAL FILE [--cmd 148|149|150] [--sub 0|1] [--arg BYTE]",
            "send FILE to a controller as a package transfer, report size and crc32", 21,
            "--cmd= --sub= --arg=", &RunUpload);
