#include "engine/AuditJson.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "engine/PhotoAudit.h"

namespace {

void AppendRect(std::string& out, const cv::Rect& r) {
    out += '[' + std::to_string(r.x) + ", " + std::to_string(r.y) + ", " +
           std::to_string(r.width) + ", " + std::to_string(r.height) + ']';
}

#if defined(__cpp_lib_to_chars)
std::string ShortestText(double v) {
    char buf[64];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, ec == std::errc() ? end : buf);
}
#else
// The same text as std::to_chars(first, last, v), for standard libraries that lack it for
// floating point (that of the WebAssembly toolchain): the fewest significant digits that read
// back as v, written in fixed or scientific notation, whichever is shorter (fixed on a tie).
std::string ShortestText(double v) {
    if (!std::isfinite(v)) {
        return std::isnan(v) ? "nan" : (v < 0 ? "-inf" : "inf");
    }
    char buf[400];
    for (int precision = 0; precision < 17; ++precision) {
        std::snprintf(buf, sizeof buf, "%.*e", precision, v);
        if (std::strtod(buf, nullptr) == v) {
            break;
        }
    }
    const std::string sci = buf;  // [-]d[.ddd]e(+|-)XX
    const std::size_t e = sci.find('e');
    const bool negative = sci[0] == '-';
    std::string digits;
    for (std::size_t i = negative ? 1 : 0; i < e; ++i) {
        if (sci[i] != '.') {
            digits += sci[i];
        }
    }
    const int exponent = std::atoi(sci.c_str() + e + 1);
    const int count = static_cast<int>(digits.size());
    std::string fixed;
    if (exponent < 0) {
        fixed = "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    } else if (count <= exponent + 1) {
        // A whole number is written with all its digits, as its exact value.
        std::snprintf(buf, sizeof buf, "%.0f", std::fabs(v));
        fixed = buf;
    } else {
        fixed = digits.substr(0, static_cast<std::size_t>(exponent + 1)) + '.' +
                digits.substr(static_cast<std::size_t>(exponent + 1));
    }
    if (negative) {
        fixed.insert(fixed.begin(), '-');
    }
    return fixed.size() <= sci.size() ? fixed : sci;
}
#endif

// The shortest text that reads back as the same double, always with a decimal point or an
// exponent, so that 1 prints as 1.0.
void AppendDouble(std::string& out, double v) {
    std::string text = ShortestText(v);
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
