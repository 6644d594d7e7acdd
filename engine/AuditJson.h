#pragma once

#include <optional>
#include <string>

class CPhotoAudit;

/// One audit's result as a single-line JSON object, with the keys file (only when `file` is
/// given), code, state, message, faces (every detection as [x, y, w, h], in the order of
/// DetectFaces), face (the chosen one, or null), crop ([x, y, w, h] cut from the scaled photo,
/// or null), scale (or null) and size ([w, h] of the normalised photo, or null). No line end.
std::string AuditJson(const std::optional<std::string>& file, const CPhotoAudit& audit);

/// `text` as a quoted JSON string: quotes, backslashes and control characters escaped, byte
/// sequences that are not UTF-8 replaced by U+FFFD.
std::string JsonString(const std::string& text);
