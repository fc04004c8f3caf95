// pellomar-cli: a command-line client of the agent's GUI protocol.
#include <algorithm>
#include <cstdio>
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
        "usage: pellomar-cli [OPTIONS] COMMAND [ARGS]\n"
        "\n"
        "Talks to a running agent over its GUI protocol (TCP port 8922 by default):\n"
        "one connection, one request, one reply.\n"
        "\n"
        "options (before or after the command):\n"
        "  --host H          agent address (default 127.0.0.1)\n"
        "  --port P          agent TCP port (default 8922)\n"
        "  --timeout S       seconds to wait for the reply (default 30)\n"
        "  --json            print each reply as one line of JSON (doc/cli-json.md)\n"
        "  --show-password   show the SMTP password (mail server)\n"
        "  --help            this text\n"
        "  --version         the client's version\n"
        "  --                the words after it are arguments, even those starting with -\n"
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
        "\nA command's own option (discover --port, --timeout) wins over the common one after\n"
        "the command name.\n"
        "\nExit status: 0 success, 1 failure (refused, no reply, failure reply), 2 usage.\n");
}

const CliCommand* FindCommand(const std::string& name) {
    for (const CliCommand& c : CliCommandList())
        if (name == c.name) return &c;
    return nullptr;
}

// Whether `word` is one of the command's own options; *takesValue tells whether a value follows.
bool IsOwnOption(const CliCommand& cmd, const std::string& word, bool* takesValue) {
    const std::string list = cmd.options != nullptr ? cmd.options : "";
    size_t pos = 0;
    while (pos < list.size()) {
        size_t end = list.find(' ', pos);
        if (end == std::string::npos) end = list.size();
        std::string opt = list.substr(pos, end - pos);
        pos = end + 1;
        const bool value = !opt.empty() && opt.back() == '=';
        if (value) opt.pop_back();
        if (!opt.empty() && opt == word) {
            *takesValue = value;
            return true;
        }
    }
    return false;
}

// The command line, read in one pass. The first fault is kept and reported once the whole line
// has been read, so that a --json anywhere on it shapes the report.
struct CommandLine {
    CliContext ctx;
    const CliCommand* cmd = nullptr;
    bool help = false, version = false;
    std::string fault;                     // the first fault
    const CliCommand* faultCmd = nullptr;  // print this command's usage after the fault
};

void Fault(CommandLine* line, const std::string& text, const CliCommand* usageOf = nullptr) {
    if (!line->fault.empty() || line->help || line->version) return;
    line->fault = text;
    line->faultCmd = usageOf;
}

CommandLine ReadCommandLine(int argc, char** argv) {
    CommandLine line;
    CliContext& ctx = line.ctx;
    bool literal = false;  // after "--"
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (literal) {
            if (line.cmd != nullptr) {
                ctx.args.push_back(a);
            } else if ((line.cmd = FindCommand(a)) == nullptr) {
                Fault(&line, "unknown command '" + a + "' (see --help)");
            } else {
                ctx.literalFrom = 0;
            }
            continue;
        }
        if (a == "--") {
            literal = true;
            if (line.cmd != nullptr) ctx.literalFrom = ctx.args.size();
            continue;
        }
        bool takesValue = false;
        if (line.cmd != nullptr && IsOwnOption(*line.cmd, a, &takesValue)) {
            ctx.args.push_back(a);
            if (takesValue && i + 1 < argc) ctx.args.push_back(argv[++i]);
            continue;
        }
        if (a == "--host" || a == "--port" || a == "--timeout") {
            if (i + 1 >= argc) {
                Fault(&line, a + " needs a value");
                continue;
            }
            const char* v = argv[++i];
            if (a == "--host") {
                ctx.ep.host = v;
            } else if (a == "--port") {
                if (!port_text::ParsePort(v, &ctx.ep.port))
                    Fault(&line, std::string("bad port '") + v + "'");
            } else if (!CliParseSeconds(v, 86400, &ctx.ep.timeoutMs)) {
                Fault(&line, std::string("bad timeout '") + v + "'");
            }
            continue;
        }
        if (a == "--json") {
            CliSetJson(true);
        } else if (a == "--show-password") {
            ctx.showPassword = true;
        } else if (a == "--help" || (a == "-h" && line.cmd == nullptr)) {
            if (line.fault.empty()) line.help = true;
        } else if (a == "--version") {
            if (line.fault.empty()) line.version = true;
        } else if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            Fault(&line, "unknown option '" + a + "'", line.cmd);
        } else if (line.cmd != nullptr) {
            ctx.args.push_back(a);
        } else if ((line.cmd = FindCommand(a)) == nullptr) {
            // Read on: a --json further on still shapes the report.
            Fault(&line, "unknown command '" + a + "' (see --help)");
        }
    }
    return line;
}

}  // namespace

void RegisterCliCommand(const CliCommand& cmd) {
    Registry().push_back(cmd);
}
const std::vector<CliCommand>& CliCommandList() {
    return Registry();
}

int main(int argc, char** argv) {
    CommandLine line = ReadCommandLine(argc, argv);
    if (line.help) {
        PrintHelp();
        return CLI_OK;
    }
    if (line.version) {
        std::printf("pellomar-cli %s\n", PELLOMAR_VERSION);
        return CLI_OK;
    }
    if (!line.fault.empty()) {
        CliMessage("%s", line.fault.c_str());
        if (line.faultCmd != nullptr) CliUsage(line.faultCmd->name);
        return CliFinish(CLI_USAGE);
    }
    if (line.cmd == nullptr) {
        if (CliJson()) return CliFinish(CliBadArgument("no command (see --help)"));
        PrintHelp();
        return CLI_USAGE;
    }
    return CliFinish(line.cmd->run(line.ctx));
}
