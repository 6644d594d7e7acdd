#include "engine/AuditJson.h"

#include <charconv>
#include <cstdio>

#include "engine/PhotoAudit.h"

namespace {

void AppendRect(std::string& out, const cv::Rect& r) {
    out += '[' + std::to_string(r.x) + ", " + std::to_string(r.y) + ", " +
           std::to_string(r.width) + ", " + std::to_string(r.height) + ']';
}

// The shortest text that reads back as the same double, always with a decimal point or an
// exponent, so that 1 prints as 1.0.
void AppendDouble(std::string& out, double v) {
    char buf[64];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    std::string text(buf, ec == std::errc() ? end : buf);
    if (text.find_first_of(".en") == std::string::npos) {
        text += ".0";
    }
    out += text;
}

// The length of the valid UTF-8 sequence at text[i], or 0 when the byte there does not start one.
std::size_t Utf8SequenceAt(const std::string& text, std::size_t i, char32_t& cp) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    std::size_t len = 0;
    char32_t min = 0;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        len = 2, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > text.size()) {
        return 0;
    }
    cp = c & (0x7Fu >> len);
    for (std::size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3Fu);
    }
    const bool valid = cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    return valid ? len : 0;
}

void AppendOctal(std::string& out, unsigned char c) {
    out += '\\';
    out += static_cast<char>('0' + ((c >> 6) & 7));
    out += static_cast<char>('0' + ((c >> 3) & 7));
    out += static_cast<char>('0' + (c & 7));
}

}  // namespace

bool IsValidUtf8(const std::string& text) {
    char32_t cp = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t len = Utf8SequenceAt(text, i, cp);
        if (len == 0) {
            return false;
        }
        i += len;
    }
    return true;
}

std::string QuoteFileName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    char32_t cp = 0;
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t len = Utf8SequenceAt(name, i, cp);
        if (len == 0) {
            AppendOctal(out, static_cast<unsigned char>(name[i]));
            ++i;
            continue;
        }
        switch (cp) {
            case '\\': out += "\\\\"; break;
            case '\a': out += "\\a"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\v': out += "\\v"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
                    for (std::size_t k = 0; k < len; ++k) {
                        AppendOctal(out, static_cast<unsigned char>(name[i + k]));
                    }
                } else {
                    out.append(name, i, len);
                }
        }
        i += len;
    }
    return out;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char ch : ToValidUtf8(text)) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
    return out;
}

std::string JsonFileMembers(const std::string& file) {
    std::string out = "\"file\": " + JsonString(file);
    if (!IsValidUtf8(file)) {
        out += ", \"file_escaped\": " + JsonString(QuoteFileName(file));
    }
    return out;
}

std::string AuditJson(const std::optional<std::string>& file, const CPhotoAudit& audit) {
    const AuditDetails& d = audit.m_details;
    std::string out = "{";
    if (file) {
        out += JsonFileMembers(*file) + ", ";
    }
    out += "\"code\": " + std::to_string(audit.m_nState) + ", \"state\": ";
    out += JsonString(ResultStateName(audit.m_nState));
    out += ", \"message\": ";
    out += JsonString(ResultMessage(audit.m_nState));
    out += ", \"faces\": [";
    for (std::size_t i = 0; i < d.faces.size(); ++i) {
        out += i > 0 ? ", " : "";
        AppendRect(out, d.faces[i]);
    }
    out += "], \"face\": ";
    if (d.face) {
        AppendRect(out, *d.face);
    } else {
        out += "null";
    }
    if (d.crop) {
        out += ", \"crop\": ";
        AppendRect(out, d.crop->sub);
        out += ", \"scale\": ";
        AppendDouble(out, d.crop->f);
        out += ", \"size\": [" + std::to_string(d.crop->tW) + ", " + std::to_string(d.crop->tH) +
               "]}";
    } else {
        out += ", \"crop\": null, \"scale\": null, \"size\": null}";
    }
    return out;
}
