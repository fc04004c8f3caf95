// The settings file (ParseAgentSettings, src/base/Settings.h) with the input as pellomar.conf,
// the address range parser it uses with the input as one range, and the mailer's reading of the
// same file (ParseMailerSettings, tools/sendmail/MailerSettings.h).
//
// Checks: a file with any fault leaves the GUI port loopback-only, and every fault names the
// file; every range read, written as text and read again, is the same range; the description of
// what was understood can always be made. The mailer: a fault leaves the default TLS settings
// and names the file; a file the agent takes whole the mailer takes too, with the same mail.tls.
// The mailer reads the file that mail.ca_file names, so it is given only inputs that cannot name
// one (no '/' and no escape that could make one): no device or pipe is ever read.
#include <string>

#include "base/Settings.h"
#include "sendmail/MailerSettings.h"
#include "support/FuzzSupport.h"

namespace {

void CheckRangeRoundTrip(const AddrRange& r) {
    FUZZ_CHECK(r.prefix <= 32);
    AddrRange back;
    FUZZ_CHECK(ParseAddrRange(AddrRangeText(r), &back));
    FUZZ_CHECK(back.addr == r.addr && back.prefix == r.prefix);
}

// mail.tls as the agent's settings hold it.
std::string MailerTlsName(sendmail::TlsPolicy p) {
    switch (p) {
        case sendmail::TlsPolicy::Required:
            return "required";
        case sendmail::TlsPolicy::None:
            return "none";
        case sendmail::TlsPolicy::Auto:
            break;
    }
    return "auto";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    AddrRange r;
    if (ParseAddrRange(text, &r)) CheckRangeRoundTrip(r);

    const AgentSettings s = ParseAgentSettings(text, "pellomar.conf");
    FUZZ_CHECK(s.found);
    if (!s.Ok()) {
        const GuiPortSettings loopback = GuiPortSettings::Loopback();
        FUZZ_CHECK(s.gui.listenAddr == loopback.listenAddr);
        FUZZ_CHECK(!s.gui.allowAny);
        FUZZ_CHECK(s.gui.allow.size() == 1);
        FUZZ_CHECK(s.gui.allow[0].addr == loopback.allow[0].addr);
        FUZZ_CHECK(s.gui.allow[0].prefix == loopback.allow[0].prefix);
        for (const std::string& f : s.faults)
            FUZZ_CHECK(f.rfind("pellomar.conf", 0) == 0);
    }
    FUZZ_CHECK(s.gui.allow.size() <= SETTINGS_ALLOW_MAX);
    for (const AddrRange& a : s.gui.allow)
        CheckRangeRoundTrip(a);
    FUZZ_CHECK(!DescribeAgentSettings(s).empty());

    if (text.find_first_of("/\\") == std::string::npos) {
        const sendmail::MailerSettings m = sendmail::ParseMailerSettings(text, "pellomar.conf");
        FUZZ_CHECK(m.caFile.empty());
        for (const std::string& f : m.faults)
            FUZZ_CHECK(f.rfind("pellomar.conf", 0) == 0);
        if (!m.Ok()) FUZZ_CHECK(m.tls == sendmail::TlsPolicy::Auto);
        if (s.Ok()) {
            FUZZ_CHECK(m.Ok());
            FUZZ_CHECK(s.mail.tls == MailerTlsName(m.tls));
        }
    }
    return 0;
}
