// Event text rendering (src/events/EventText.h) of the first 32 bytes of the input (zeros where
// it is shorter): every event has a text, it stays inside its buffer, holds no NUL before its
// end and is never cut, and the mail decision returned is the one the flag holds.
#include <cstring>

#include "events/EventText.h"
#include "support/FuzzSupport.h"

// The longest text any event renders (doc/event-files.md).
constexpr size_t kLongestText = 229;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t bytes[EVENT_REC_SIZE] = {};
    std::memcpy(bytes, data, size < sizeof bytes ? size : sizeof bytes);
    const CtlrEvent event = CtlrEvent::FromBytes(bytes);

    char text[EVENT_TEXT_MAX];
    std::memset(text, 0x55, sizeof text);
    const bool mail = EventToText(event, text);
    FUZZ_CHECK(mail == EventMailFlag.load());
    const void* end = std::memchr(text, '\0', sizeof text);
    FUZZ_CHECK(end != nullptr);
    const size_t len = static_cast<size_t>(static_cast<const char*>(end) - text);
    FUZZ_CHECK(len > 0);
    FUZZ_CHECK(len <= kLongestText);

    // The same event renders the same text.
    char again[EVENT_TEXT_MAX];
    FUZZ_CHECK(EventToText(event, again) == mail);
    FUZZ_CHECK(std::strcmp(text, again) == 0);
    return 0;
}
