// pellomar-cli: a command-line client of the agent's GUI protocol.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CliCommands.h"
#include "common/PortText.h"

namespace {

std::vector<CliCommand>& Registry() {
    static std::vector<CliCommand> list;
    return list;
}

void PrintHelp() {
    std::printf(
        "usage: pellomar-cli [--host H] [--port P] [--timeout S] COMMAND [ARGS]\n"
        "\n"
        "Talks to a running agent over its GUI protocol (TCP port 8922 by default):\n"
        "one connection, one request, one reply.\n"
        "\n"
        "options:\n"
        "  --host H      agent address (default 127.0.0.1)\n"
        "  --port P      agent TCP port (default 8922)\n"
        "  --timeout S   seconds to wait for the reply (default 30)\n"
        "  --help        this text\n"
        "  --version     the client's version\n"
        "\n"
        "commands:\n");
    std::vector<CliCommand> list = CliCommandList();
    std::stable_sort(list.begin(), list.end(),
                     [](const CliCommand& a, const CliCommand& b) { return a.order < b.order; });
    for (const CliCommand& c : list) {
        if (std::strlen(c.usage) > 40) {
            std::printf("  %s\n  %-40s %s\n", c.usage, "", c.help);
        } else {
            std::printf("  %-40s %s\n", c.usage, c.help);
        }
    }
    std::printf(
        "\nExit status: 0 success, 1 failure (refused, no reply, failure reply), 2 usage.\n");
}

}  // namespace

void RegisterCliCommand(const CliCommand& cmd) {
    Registry().push_back(cmd);
}
const std::vector<CliCommand>& CliCommandList() {
    return Registry();
}

int CliFail(const char* fmt, ...) {
    std::fputs("pellomar-cli: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
    return CLI_FAIL;
}

int CliUsage(const char* cmd) {
    for (const CliCommand& c : CliCommandList())
        if (std::strcmp(c.name, cmd) == 0)
            std::fprintf(stderr, "usage: pellomar-cli %s\n", c.usage);
    return CLI_USAGE;
}

bool CliExchange(const CliContext& ctx, const gui::Bytes& body, gui::Reply* reply) {
    *reply = gui::Exchange(ctx.ep, body);
    if (!reply->ok) {
        CliFail("%s:%u: %s", ctx.ep.host.c_str(), static_cast<unsigned>(ctx.ep.port),
                reply->error.c_str());
        return false;
    }
    return true;
}

int main(int argc, char** argv) {
    CliContext ctx;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            PrintHelp();
            return CLI_OK;
        }
        if (a == "--version") {
            std::printf("pellomar-cli %s\n", PELLOMAR_VERSION);
            return CLI_OK;
        }
        if (a == "--host" || a == "--port" || a == "--timeout") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "pellomar-cli: %s needs a value\n", a.c_str());
                return CLI_USAGE;
            }
            const char* v = argv[++i];
            if (a == "--host") {
                ctx.ep.host = v;
            } else if (a == "--port") {
                if (!port_text::ParsePort(v, &ctx.ep.port)) {
                    std::fprintf(stderr, "pellomar-cli: bad port '%s'\n", v);
                    return CLI_USAGE;
                }
            } else {
                double s = std::atof(v);
                if (s <= 0 || s > 86400) {
                    std::fprintf(stderr, "pellomar-cli: bad timeout '%s'\n", v);
                    return CLI_USAGE;
                }
                ctx.ep.timeoutMs = static_cast<int>(s * 1000);
            }
            continue;
        }
        if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
            // An option of the command itself: leave it to the command.
            break;
        }
        break;
    }
    if (i >= argc) {
        PrintHelp();
        return CLI_USAGE;
    }
    std::string name = argv[i++];
    for (; i < argc; ++i)
        ctx.args.push_back(argv[i]);
    for (const CliCommand& c : CliCommandList())
        if (name == c.name) return c.run(ctx);
    std::fprintf(stderr, "pellomar-cli: unknown command '%s' (see --help)\n", name.c_str());
    return CLI_USAGE;
}
