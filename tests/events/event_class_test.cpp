// The event classes against the event text tables: over every type code and the byte values the
// tables choose on, a mailed event is critical, a critical one is mailed (data loss apart), and a
// recovery is an informational event whose text says a condition ended.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "events/EventClass.h"
#include "events/EventText.h"

namespace {

CtlrEvent Make(uint8_t b0, uint8_t b2, uint8_t b3, uint8_t b4) {
    uint8_t bytes[EVENT_REC_SIZE] = {};
    bytes[0] = b0;
    bytes[2] = b2;
    bytes[3] = b3;
    bytes[4] = b4;
    bytes[7] = 1;
    return CtlrEvent::FromBytes(bytes);
}

bool SaysRecovered(const std::string& text) {
    for (const char* phrase : {"Online or Plugin", "Adding Complete", "Normal.", "back to normal",
                               "in healthy state", "plugged in", "Success"})
        if (text.find(phrase) != std::string::npos) return true;
    return false;
}

TEST(EventClass, AgreesWithTheTextTablesOverEveryType) {
    const uint8_t values[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x65, 0x9D, 0xFE, 0xFF};
    int critical = 0, recoveries = 0;
    for (int b0 = 0; b0 < 256; ++b0)
        for (uint8_t b2 : values)
            for (uint8_t b3 : values)
                for (uint8_t b4 : values) {
                    const CtlrEvent e = Make(static_cast<uint8_t>(b0), b2, b3, b4);
                    char text[EVENT_TEXT_MAX];
                    const bool mailed = EventToText(e, text);
                    const EventKind k = ClassifyEvent(e);
                    const std::string where = std::to_string(b0) + "/" + std::to_string(b2) + "/" +
                                              std::to_string(b3) + "/" + std::to_string(b4) + ": " +
                                              text;
                    if (mailed) {
                        EXPECT_EQ(k.severity, EventSeverity::Critical) << where;
                    }
                    if (k.severity == EventSeverity::Critical) {
                        EXPECT_TRUE(mailed || b0 == 10) << where;
                        ++critical;
                    }
                    if (k.recovery) {
                        EXPECT_EQ(k.severity, EventSeverity::Info) << where;
                        EXPECT_TRUE(SaysRecovered(text)) << where;
                        ++recoveries;
                    }
                }
    EXPECT_GT(critical, 0);
    EXPECT_GT(recoveries, 0);
}

TEST(EventClass, ClassesByTypeAndComponent) {
    const struct {
        CtlrEvent e;
        const char* cls;
        const char* severity;
        bool recovery;
    } cases[] = {
        {Make(3, 0, 5, 1), "disk", "critical", false},  // disk offline
        {Make(3, 0, 5, 0), "disk", "info", true},       // back online
        {Make(21, 2, 0, 0), "array_degraded", "critical", false},
        {Make(17, 2, 0, 0), "array_offline", "critical", false},
        {Make(19, 0, 1, 0), "fan", "critical", false},  // fan module 2 failed
        {Make(19, 0, 1, 1), "fan", "info", true},       // normal again
        {Make(19, 1, 0, 0), "power", "critical", false},
        {Make(19, 3, 0, 2), "temperature", "critical", false},
        {Make(19, 3, 0, 3), "temperature", "info", true},
        {Make(24, 1, 1, 0), "enclosure", "critical", false},
        {Make(1, 0x9D, 1, 0), "task", "info", true},      // rebuild done
        {Make(1, 0x9D, 0, 0), "task", "warning", false},  // rebuild failed
        {Make(10, 1, 0, 0), "media", "critical", false},  // data loss
        {Make(15, 1, 0, 0), "smart", "critical", false},
        {Make(4, 0, 0, 0), "controller", "info", false},  // booted
        {Make(170, 0, 0, 0), "other", "info", false},
        {Make(99, 0, 0, 0), "other", "info", false},
    };
    for (const auto& c : cases) {
        const EventKind k = ClassifyEvent(c.e);
        EXPECT_STREQ(EventClassName(k.cls), c.cls) << int(c.e.Byte(0));
        EXPECT_STREQ(EventSeverityName(k.severity), c.severity) << int(c.e.Byte(0));
        EXPECT_EQ(k.recovery, c.recovery) << int(c.e.Byte(0));
    }
    // A disk's offline and online events name the same object; another disk another.
    EXPECT_EQ(ClassifyEvent(Make(3, 0, 5, 1)).object, ClassifyEvent(Make(3, 0, 5, 0)).object);
    EXPECT_NE(ClassifyEvent(Make(3, 0, 5, 1)).object, ClassifyEvent(Make(3, 0, 6, 1)).object);
}

TEST(EventClass, NamesAreDistinctLabelValues) {
    std::set<std::string> names;
    for (int c = 0; c < EVENT_CLASS_COUNT; ++c) {
        const std::string n = EventClassName(static_cast<EventClass>(c));
        EXPECT_EQ(n.find_first_not_of("abcdefghijklmnopqrstuvwxyz_"), std::string::npos) << n;
        names.insert(n);
    }
    EXPECT_EQ(names.size(), static_cast<size_t>(EVENT_CLASS_COUNT));
}

}  // namespace
