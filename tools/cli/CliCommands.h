// pellomar-cli's commands. Each command file registers its commands with CLI_COMMAND; main()
// parses the common options and runs the command named on the command line.
#pragma once

#include <string>
#include <vector>

#include "common/GuiClient.h"

struct CliContext {
    gui::Endpoint ep;
    std::vector<std::string> args;  // the words after the command name
};

struct CliCommand {
    const char* name;
    const char* usage;  // e.g. "echo TEXT"
    const char* help;   // one line
    int order;          // position in --help
    int (*run)(const CliContext& ctx);
};

void RegisterCliCommand(const CliCommand& cmd);
const std::vector<CliCommand>& CliCommandList();

// Exit codes.
constexpr int CLI_OK = 0;
constexpr int CLI_FAIL = 1;   // refused, closed without reply, failure reply, mismatch
constexpr int CLI_USAGE = 2;  // bad command line

// Prints "pellomar-cli: <message>" to stderr and returns CLI_FAIL.
int CliFail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Prints the usage line of `cmd` to stderr and returns CLI_USAGE.
int CliUsage(const char* cmd);

// Runs one exchange; on a transport failure prints why and returns false.
bool CliExchange(const CliContext& ctx, const gui::Bytes& body, gui::Reply* reply);

#define CLI_CONCAT2(a, b) a##b
#define CLI_CONCAT(a, b) CLI_CONCAT2(a, b)
#define CLI_COMMAND(...)                                          \
    static const bool CLI_CONCAT(cliRegistered_, __LINE__) = [] { \
        RegisterCliCommand(CliCommand{__VA_ARGS__});              \
        return true;                                              \
    }()
