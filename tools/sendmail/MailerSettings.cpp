#include "sendmail/MailerSettings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "base/TomlText.h"

namespace sendmail {

namespace {

constexpr const char* SETTINGS_NAME = "pellomar.conf";
constexpr const char* PACKAGED_SETTINGS = "/etc/pellomar/pellomar.conf";
// A CA file larger than this is not a file of CA certificates.
constexpr std::streamsize CA_FILE_MAX_BYTES = 4 * 1024 * 1024;

void AddFault(MailerSettings& s, const toml::source_region& where, const std::string& reason) {
    char pos[48];
    std::snprintf(pos, sizeof pos, ":%u:%u: ", static_cast<unsigned>(where.begin.line),
                  static_cast<unsigned>(where.begin.column));
    s.faults.push_back(s.path + pos + reason);
}

// True when something is at `p`, or when it cannot be told that nothing is (a folder that may
// not be searched): such a file is read, and its fault reported, rather than passed over.
bool Present(const std::filesystem::path& p) {
    std::error_code ec;
    const auto st = std::filesystem::status(p, ec);
    if (ec) return ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory;
    return st.type() != std::filesystem::file_type::not_found;
}

bool HasControlCharacter(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

// Why the CA file at `path` is of no use ("" when it holds at least one PEM certificate).
std::string CaFileProblem(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot be read: " + std::string(std::strerror(errno));
    std::string text(static_cast<size_t>(CA_FILE_MAX_BYTES) + 1, '\0');
    in.read(text.data(), CA_FILE_MAX_BYTES + 1);
    if (in.bad()) return "cannot be read";
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > static_cast<size_t>(CA_FILE_MAX_BYTES)) return "is larger than 4 MiB";
    if (text.find("-----BEGIN CERTIFICATE-----") == std::string::npos)
        return "holds no PEM certificate (-----BEGIN CERTIFICATE-----)";
    return "";
}

void ReadMail(MailerSettings& s, const toml::table& mail) {
    if (const toml::node* node = mail.get("tls")) {
        const auto* v = node->as_string();
        const std::string text = v != nullptr ? v->get() : "";
        if (text == "auto") {
            s.tls = TlsPolicy::Auto;
        } else if (text == "required") {
            s.tls = TlsPolicy::Required;
        } else if (text == "none") {
            s.tls = TlsPolicy::None;
        } else {
            AddFault(s, node->source(), "mail.tls must be \"auto\", \"required\" or \"none\"");
        }
    }
    if (const toml::node* node = mail.get("ca_file")) {
        const auto* v = node->as_string();
        if (v == nullptr || v->get().empty() || v->get()[0] != '/' ||
            HasControlCharacter(v->get())) {
            AddFault(s, node->source(),
                     "mail.ca_file must be the absolute path of a PEM file of CA certificates");
            return;
        }
        const std::string problem = CaFileProblem(v->get());
        if (!problem.empty()) {
            AddFault(s, node->source(), "mail.ca_file '" + v->get() + "' " + problem);
            return;
        }
        s.caFile = v->get();
    }
}

}  // namespace

std::string FindSettingsFile(const std::string& configArg, const std::string& exePath) {
    if (!configArg.empty()) return configArg;
    if (!exePath.empty()) {
        const std::filesystem::path beside =
            std::filesystem::path(exePath).parent_path() / SETTINGS_NAME;
        if (Present(beside)) return beside.string();
    }
    if (Present(PACKAGED_SETTINGS)) return PACKAGED_SETTINGS;
    return "";
}

MailerSettings ReadMailerSettings(const std::string& path) {
    if (path.empty()) return {};
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        MailerSettings s;
        s.path = path;
        s.faults.push_back(path + ": is a folder, not a settings file");
        return s;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        MailerSettings s;
        s.path = path;
        s.faults.push_back(path + ": cannot be read: " + std::strerror(errno));
        return s;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        MailerSettings s;
        s.path = path;
        s.faults.push_back(path + ": cannot be read");
        return s;
    }
    return ParseMailerSettings(text.str(), path);
}

MailerSettings ParseMailerSettings(std::string_view text, const std::string& path) {
    MailerSettings s;
    s.path = path;
    toml::parse_result parsed = ParseTomlText(text, path);
    if (!parsed) {
        AddFault(s, parsed.error().source(), std::string(parsed.error().description()));
        return s;
    }
    if (const toml::node* mail = parsed.table().get("mail")) {
        if (const toml::table* t = mail->as_table())
            ReadMail(s, *t);
        else
            AddFault(s, mail->source(), "mail must be a section ([mail])");
    }
    // A fault leaves no half-read settings behind.
    if (!s.Ok()) {
        s.tls = TlsPolicy::Auto;
        s.caFile.clear();
    }
    return s;
}

}  // namespace sendmail
