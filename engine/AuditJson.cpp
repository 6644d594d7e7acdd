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

}  // namespace

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

std::string AuditJson(const std::optional<std::string>& file, const CPhotoAudit& audit) {
    const AuditDetails& d = audit.m_details;
    std::string out = "{";
    if (file) {
        out += "\"file\": " + JsonString(*file) + ", ";
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
