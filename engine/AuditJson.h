#pragma once

#include <optional>
#include <string>

struct AuditDetails;

/// One audit's result as a single-line JSON object, with the keys file (only when `file` is
/// given; byte sequences that are not UTF-8 show as U+FFFD there, and the key file_escaped then
/// follows with QuoteFileName(file), which keeps every byte), code, state, message, faces (every detection as [x, y, w, h], in the order of
/// DetectFaces), face (the chosen one, or null), crop ([x, y, w, h] cut from the scaled photo,
/// or null), scale (or null) and size ([w, h] of the normalised photo, or null), then why (the
/// cause of the verdict and the facts behind it, see docs/administration.md; "transparent": true
/// after them for a photo that declares transparency). No line end.
std::string AuditJson(const std::optional<std::string>& file, int state,
                      const AuditDetails& details);

/// The members naming a file in a JSON object, without braces: "file": its name (non-UTF-8 as
/// U+FFFD), followed by "file_escaped": QuoteFileName(file) when the name is not valid UTF-8.
std::string JsonFileMembers(const std::string& file);

/// `text` as a quoted JSON string: quotes, backslashes and control characters escaped, byte
/// sequences that are not UTF-8 replaced by U+FFFD.
std::string JsonString(const std::string& text);

/// `name` quoted so that it prints on one line and distinct names print distinctly: a backslash
/// becomes \\; tab, line feed, carriage return, bell, backspace, form feed and vertical tab
/// become \t \n \r \a \b \f \v; every other control character (C0, DEL and C1) and every
/// byte that is not part of valid UTF-8 becomes a backslash and three octal digits (\033,
/// \377). Printable UTF-8, spaces included, is kept as it is, so ordinary names are unchanged.
std::string QuoteFileName(const std::string& name);

/// True when `text` is entirely valid UTF-8 (no overlong forms, surrogates or values past
/// U+10FFFF).
bool IsValidUtf8(const std::string& text);
