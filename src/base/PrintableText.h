// Text the agent is handed from outside (a controller's serial number) made fit for a mail
// subject or an environment value.
#pragma once

#include <string>
#include <string_view>

// `text` with every control character (below 0x20, and DEL) made '_'.
inline std::string PrintableText(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
    return out;
}
