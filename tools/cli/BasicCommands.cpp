// echo, alive, raw.
#include <cstdio>

#include "CliCommands.h"
#include "protocol/GuiFrame.h"

namespace {

int RunEchoType(const CliContext& ctx, int8_t type, const char* name) {
    if (ctx.args.size() != (type == REQ_NET_ECHO_TEST ? 1u : 0u) &&
        !(type == REQ_ECHO_AGENT_ALIVE && ctx.args.size() <= 1))
        return CliUsage(name);
    std::string text = ctx.args.empty() ? std::string() : ctx.args[0];
    gui::Bytes req = gui::EchoRequest(type, text);
    gui::Reply r;
    if (!CliExchange(ctx, req, &r)) return CLI_FAIL;
    if (r.body != req) {
        uint8_t st = 0;
        if (CliFailureReply(r.body, &st)) return CliFail("failure reply, status 0x%02x", st);
        return CliFail("the reply differs from the request: %s", gui::Hex(r.body).c_str());
    }
    if (CliJson()) {
        if (type == REQ_NET_ECHO_TEST)
            CliPrintJson({{"text", text}});
        else
            CliPrintJson({{"alive", true}, {"host", ctx.ep.host}, {"port", ctx.ep.port}});
    } else if (type == REQ_NET_ECHO_TEST) {
        std::printf("%s\n", text.c_str());
    } else {
        std::printf("agent at %s:%u is alive\n", ctx.ep.host.c_str(),
                    static_cast<unsigned>(ctx.ep.port));
    }
    return CLI_OK;
}

int RunEcho(const CliContext& ctx) {
    return RunEchoType(ctx, REQ_NET_ECHO_TEST, "echo");
}
int RunAlive(const CliContext& ctx) {
    return RunEchoType(ctx, REQ_ECHO_AGENT_ALIVE, "alive");
}

int RunRaw(const CliContext& ctx) {
    if (ctx.args.empty()) return CliUsage("raw");
    std::string all;
    for (const auto& a : ctx.args)
        all += a;
    gui::Bytes body;
    if (!gui::ParseHex(all, &body) || body.empty())
        return CliBadArgument("'%s' is not a hexadecimal byte string", all.c_str());
    gui::Reply r;
    if (!CliExchange(ctx, body, &r)) return CLI_FAIL;
    if (CliJson())
        CliPrintJson({{"reply", gui::Hex(r.body)}});
    else
        std::printf("%s\n", gui::Hex(r.body).c_str());
    return CLI_OK;
}

}  // namespace

CLI_COMMAND("echo", "echo TEXT", "echo request (type 4); prints the echoed text", 10, "", &RunEcho);
CLI_COMMAND("alive", "alive", "liveness request (type 5)", 11, "", &RunAlive);
CLI_COMMAND("raw", "raw HEX", "send one request body (02 ...), print the reply body as hex", 12, "",
            &RunRaw);
