#include "engine/AuditJson.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "engine/Audit.h"

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

void AppendOctal(std::string& out, unsigned char c) {
    out += '\\';
    out += static_cast<char>('0' + ((c >> 6) & 7));
    out += static_cast<char>('0' + ((c >> 3) & 7));
    out += static_cast<char>('0' + (c & 7));
}

void AppendOptionalDouble(std::string& out, const std::optional<double>& v) {
    if (v) {
        AppendDouble(out, *v);
    } else {
        out += "null";
    }
}

// A hue in degrees, or null for a grey or black, which have none.
std::optional<double> HueOf(const Hsv& hsv) {
    return hsv.hue >= 0 ? std::optional<double>(hsv.hue) : std::nullopt;
}

void AppendColour(std::string& out, const Hsv& hsv, BackgroundClass colour) {
    out += "\"hue\": ";
    AppendOptionalDouble(out, HueOf(hsv));
    out += ", \"saturation\": ";
    AppendDouble(out, hsv.saturation);
    out += ", \"value\": ";
    AppendDouble(out, hsv.value);
    out += ", \"class\": \"";
    out += BackgroundClassName(colour);
    out += '"';
}

void AppendBackground(std::string& out, const BackgroundFacts& bg) {
    out += "{\"probes\": [";
    for (std::size_t i = 0; i < bg.probes.size(); ++i) {
        const BackgroundProbe& p = bg.probes[i];
        out += i > 0 ? ", " : "";
        out += "{\"x\": " + std::to_string(p.point.x) + ", \"y\": " + std::to_string(p.point.y) +
               ", ";
        AppendColour(out, p.hsv, p.colour);
        out += ", \"fill\": ";
        AppendOptionalDouble(out, p.fill && bg.pixels > 0
                                      ? std::optional<double>(static_cast<double>(*p.fill) /
                                                              bg.pixels)
                                      : std::nullopt);
        out += '}';
    }
    out += "], \"mean\": {";
    AppendColour(out, bg.mean, bg.meanColour);
    out += "}, \"coverage\": ";
    AppendOptionalDouble(out, bg.coverage);
    out += ", \"minCoverage\": ";
    AppendDouble(out, kMinCoverage);
    out += '}';
}

void AppendFraming(std::string& out, const FramingFacts& fr, const std::optional<CropPlan>& crop) {
    out += "{\"headTop\": " + (fr.headTop ? std::to_string(*fr.headTop) : "null");
    out += ", \"roomAbove\": ";
    AppendOptionalDouble(out, fr.roomAbove);
    out += ", \"roomBelow\": ";
    AppendDouble(out, fr.roomBelow);
    out += ", \"k\": ";
    AppendOptionalDouble(out, crop ? std::optional<double>(crop->spaceRatio) : std::nullopt);
    out += ", \"r\": ";
    AppendOptionalDouble(out, crop ? std::optional<double>(crop->widthFactor) : std::nullopt);
    out += ", \"scale\": ";
    AppendOptionalDouble(out, crop ? std::optional<double>(crop->scale) : std::nullopt);
    out += ", \"stop\": ";
    out += fr.trail.stop == CropLimit::None
               ? std::string("null")
               : '"' + std::string(CropLimitName(fr.trail.stop)) + '"';
    out += ", \"rejected\": {";
    for (int l = 1; l < kCropLimitCount; ++l) {
        out += l > 1 ? ", " : "";
        out += '"' + std::string(CropLimitName(static_cast<CropLimit>(l))) +
               "\": " + std::to_string(fr.trail.rejected[l]);
    }
    out += "}, \"tried\": ";
    if (fr.trail.tried.area() > 0) {
        AppendRect(out, fr.trail.tried);
    } else {
        out += "null";
    }
    out += '}';
}

// The "why" object: the cause, its hint, and the facts of every rung that ran (null for the
// others).
void AppendWhy(std::string& out, const AuditDetails& d) {
    const AuditWhy& why = d.why;
    out += "{\"cause\": \"";
    out += WhyCauseName(why.cause);
    out += "\", \"hint\": " + JsonString(WhyHint(why.cause)) + ", \"size\": ";
    if (why.size) {
        out += "{\"bytes\": " + std::to_string(why.size->bytes) +
               ", \"minBytes\": " + std::to_string(kMinPhotoFileLength) +
               ", \"width\": " + std::to_string(why.size->width) +
               ", \"height\": " + std::to_string(why.size->height) +
               ", \"minWidth\": " + std::to_string(kMinPhotoColumns) +
               ", \"minHeight\": " + std::to_string(kMinPhotoRows) + '}';
    } else {
        out += "null";
    }
    out += ", \"background\": ";
    if (why.background) {
        AppendBackground(out, *why.background);
    } else {
        out += "null";
    }
    out += ", \"proportion\": ";
    if (why.framing) {
        out += "{\"faceShare\": ";
        AppendDouble(out, why.framing->faceShare);
        out += ", \"min\": ";
        AppendDouble(out, kMinFaceShare);
        out += ", \"max\": ";
        AppendDouble(out, kMaxFaceShare);
        out += '}';
    } else {
        out += "null";
    }
    out += ", \"framing\": ";
    if (why.framing && why.framing->framed) {
        AppendFraming(out, *why.framing, d.crop);
    } else {
        out += "null";
    }
    // Only for a transparent photo, so that every other object keeps its keys.
    if (why.transparent) {
        out += ", \"transparent\": true";
    }
    out += '}';
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

std::string AuditJson(const std::optional<std::string>& file, int state, const AuditDetails& d) {
    std::string out = "{";
    if (file) {
        out += JsonFileMembers(*file) + ", ";
    }
    out += "\"code\": " + std::to_string(state) + ", \"state\": ";
    out += JsonString(ResultStateName(state));
    out += ", \"message\": ";
    out += JsonString(ResultMessage(state));
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
        AppendDouble(out, d.crop->scale);
        out += ", \"size\": [" + std::to_string(d.crop->width) + ", " + std::to_string(d.crop->height) +
               "]";
    } else {
        out += ", \"crop\": null, \"scale\": null, \"size\": null";
    }
    out += ", \"why\": ";
    AppendWhy(out, d);
    out += '}';
    return out;
}
