// pellomar-cli's commands. Each command file registers its commands with CLI_COMMAND; main()
// parses the common options and runs the command named on the command line.
//
// Output. Without --json a command prints its result as text and every message as a line
// "pellomar-cli: ..." on standard error. With --json it prints one JSON document per reply on
// standard output (CliPrintJson); messages are collected instead, and main() prints them as one
// error object on standard error when the command fails (doc/cli-json.md).
#pragma once

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/GuiClient.h"

// printf-style checks of the message functions. mingw-w64's C++ runtime formats as C99 does
// (%zu, %llu), which its default printf check would not accept.
#if defined(__MINGW32__)
#define CLI_PRINTF(fmt, first) __attribute__((format(gnu_printf, fmt, first)))
#else
#define CLI_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#endif

// The documents are ordered as built: their members print in the order doc/cli-json.md lists.
using CliJsonDoc = nlohmann::ordered_json;

struct CliContext {
    gui::Endpoint ep;
    std::vector<std::string> args;  // the words after the command name, common options taken out
    // args[i] for i >= literalFrom came after "--": arguments, never options.
    size_t literalFrom = std::numeric_limits<size_t>::max();
    bool showPassword = false;  // --show-password

    // args[i] is an option word of the command ("--" and a name, before any "--").
    bool IsOption(size_t i) const {
        return i < literalFrom && i < args.size() && args[i].size() > 2 &&
               args[i].compare(0, 2, "--") == 0;
    }
};

struct CliCommand {
    const char* name;
    const char* usage;  // e.g. "echo TEXT"
    const char* help;   // one line
    int order;          // position in --help
    // The command's own options, blank-separated, "=" after those that take a value, e.g.
    // "--cmd= --newest-first". After the command name they win over common options of the same
    // name. The first registration of a name gives its options.
    const char* options;
    int (*run)(const CliContext& ctx);
};

void RegisterCliCommand(const CliCommand& cmd);
const std::vector<CliCommand>& CliCommandList();

// Exit codes.
constexpr int CLI_OK = 0;
constexpr int CLI_FAIL = 1;   // refused, closed without reply, failure reply, mismatch
constexpr int CLI_USAGE = 2;  // bad command line

// True when the output is JSON (--json); set while main() reads the command line.
bool CliJson();
void CliSetJson(bool on);

// One JSON document on one line of standard output, flushed. Texts that are not UTF-8 are
// printed with U+FFFD in place of the bytes that are not.
void CliPrintJson(const CliJsonDoc& doc);

// A message for the user: "pellomar-cli: <message>" on standard error, or with --json kept for
// the error object.
void CliMessage(const char* fmt, ...) CLI_PRINTF(1, 2);
// CliMessage, then CLI_FAIL.
int CliFail(const char* fmt, ...) CLI_PRINTF(1, 2);
// CliMessage, then CLI_USAGE.
int CliBadArgument(const char* fmt, ...) CLI_PRINTF(1, 2);
// A remark that is not an error: "pellomar-cli: note: <text>", or with --json the line
// {"note": "<text>"} on standard error.
void CliNote(const char* fmt, ...) CLI_PRINTF(1, 2);
// The status byte of a failure reply, for the error object ("status": "0x25").
void CliFailureStatus(uint8_t status);
// True when `body` is a failure reply: its status then goes to the error object (CliFailureStatus)
// and, when `status` is not null, to *status.
bool CliFailureReply(const gui::Bytes& body, uint8_t* status);
// Another member of the error object.
void CliErrorField(const std::string& key, const CliJsonDoc& value);
// Prints the usage lines of `cmd` (to the error object with --json) and returns CLI_USAGE.
int CliUsage(const char* cmd);
// With --json and a non-zero `code`: prints the error object to standard error. Returns `code`.
int CliFinish(int code);

// "0x25".
std::string CliHexByte(uint8_t b);

// Command-line checks that several commands share.
// A serial number as requests of type 1 and 3 carry it, 1 to 16 characters; prints why not.
bool CliCheckSerial(const std::string& sn);
// A number of seconds: a decimal number above 0 and at most `maxS`, and nothing else; *ms the
// time in milliseconds, at least 1. Prints nothing: the caller names the option.
bool CliParseSeconds(const char* text, double maxS, int* ms);

// Runs one exchange; on a transport failure prints why and returns false.
bool CliExchange(const CliContext& ctx, const gui::Bytes& body, gui::Reply* reply);

#define CLI_CONCAT2(a, b) a##b
#define CLI_CONCAT(a, b) CLI_CONCAT2(a, b)
#define CLI_COMMAND(...)                                          \
    static const bool CLI_CONCAT(cliRegistered_, __LINE__) = [] { \
        RegisterCliCommand(CliCommand{__VA_ARGS__});              \
        return true;                                              \
    }()
