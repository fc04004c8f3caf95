// The TOML parser (toml++) as the agent's settings file is read with it, by the agent
// (base/Settings.cpp) and by the mailer (tools/sendmail/MailerSettings.cpp): every reader
// includes the parser through this header and parses through ParseTomlText, so that the
// parser's configuration and its guards are the same everywhere.
#pragma once

#include <string>
#include <string_view>

#define TOML_EXCEPTIONS 0
#define TOML_ENABLE_FORMATTERS 0
// The parser checks its own state with assert(), and one check also fires on a malformed table
// header ("[" followed by a line end, '#' or '='): a build with assertions would abort on such a
// file. The parser reports the fault itself right after the check, as GCC's release builds show,
// where the checks are compiled out. So the checks are left out in every build: none aborts,
// and none becomes an assumption for the optimiser (what the parser makes of them when NDEBUG is
// set and the compiler has __builtin_assume).
#define TOML_ASSERT(expr) static_cast<void>(0)
#pragma push_macro("NDEBUG")
#undef NDEBUG
#include <toml++/toml.h>
#pragma pop_macro("NDEBUG")

// Parses `text` as a TOML document; `path` names it in the parser's faults. The parser gets the
// text with every character beyond ASCII made '?' (TomlText.cpp says why): the document is as
// valid or invalid as it was, and each fault keeps its line and column. Never throws: the result
// holds the table, or the fault with its place and description.
toml::parse_result ParseTomlText(std::string_view text, std::string_view path);
