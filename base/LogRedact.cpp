#include "base/LogRedact.h"

#include <array>
#include <cctype>

#include "platform/Text.h"

namespace zk::log {
namespace {

// Elements whose text is a password, a PIN, key material or a key seed.
constexpr std::array<std::string_view, 14> kSecretElements = {
    "Pass", "OldPass", "NewPass", "AdminPass", "UserPass", "NamedKeyDevicePass", "Password",
    "SenderSK", "RecipientSK", "SK", "KEY", "SEED", "PrivateKey", "PIN"};
constexpr std::string_view kSecretAttribute = "KEY";
constexpr std::string_view kMask = "***";

bool NameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' || c == ':';
}

bool IsSecretElement(std::string_view name) {
    for (auto s : kSecretElements)
        if (EqualNoCase(s, name)) return true;
    return false;
}

// Masks KEY="..." attributes inside one start tag [begin, end).
std::string MaskAttributes(std::string_view tag) {
    std::string out;
    size_t i = 0;
    while (i < tag.size()) {
        if (NameChar(tag[i]) && (i == 0 || !NameChar(tag[i - 1]))) {
            size_t n = i;
            while (n < tag.size() && NameChar(tag[n])) ++n;
            std::string_view name = tag.substr(i, n - i);
            size_t eq = n;
            while (eq < tag.size() && std::isspace(static_cast<unsigned char>(tag[eq]))) ++eq;
            if (eq < tag.size() && tag[eq] == '=' && EqualNoCase(name, kSecretAttribute)) {
                size_t q = eq + 1;
                while (q < tag.size() && std::isspace(static_cast<unsigned char>(tag[q]))) ++q;
                if (q < tag.size() && (tag[q] == '"' || tag[q] == '\'')) {
                    size_t close = tag.find(tag[q], q + 1);
                    if (close != std::string_view::npos) {
                        out.append(tag.substr(i, q + 1 - i));
                        out.append(kMask);
                        i = close;
                        continue;
                    }
                }
            }
            out.append(name);
            i = n;
            continue;
        }
        out.push_back(tag[i++]);
    }
    return out;
}

}  // namespace

std::string RedactSecrets(std::string_view xml) {
    std::string out;
    out.reserve(xml.size());
    size_t i = 0;
    while (i < xml.size()) {
        size_t lt = xml.find('<', i);
        if (lt == std::string_view::npos) {
            out.append(xml.substr(i));
            break;
        }
        out.append(xml.substr(i, lt - i));
        size_t gt = xml.find('>', lt);
        if (gt == std::string_view::npos) {
            out.append(xml.substr(lt));
            break;
        }
        std::string_view tag = xml.substr(lt, gt + 1 - lt);
        out.append(MaskAttributes(tag));
        i = gt + 1;
        // A secret element's content runs to its end tag.
        size_t n = lt + 1;
        while (n < gt && NameChar(xml[n])) ++n;
        std::string_view name = xml.substr(lt + 1, n - lt - 1);
        bool selfClosing = gt > lt && xml[gt - 1] == '/';
        if (name.empty() || selfClosing || !IsSecretElement(name)) continue;
        size_t search = i;
        while (true) {
            size_t end = xml.find("</", search);
            if (end == std::string_view::npos) {
                out.append(kMask);
                return out;
            }
            std::string_view endName = xml.substr(end + 2, name.size());
            if (EqualNoCase(endName, name) && (end + 2 + name.size() >= xml.size() || !NameChar(xml[end + 2 + name.size()]))) {
                if (end > i) out.append(kMask);
                i = end;
                break;
            }
            search = end + 2;
        }
    }
    return out;
}

}  // namespace zk::log
