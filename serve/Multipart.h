#pragma once

#include <string>
#include <string_view>

/// The boundary named by a Content-Type of multipart/form-data (quoted or not); empty when the
/// type is another or the boundary is missing or longer than 70 characters.
std::string FormBoundary(std::string_view contentType);

/// Finds the one file part (a part whose Content-Disposition has a filename, and which is not
/// empty) of a multipart/form-data `body` with the given boundary; other parts are ignored. True with
/// `file` pointing into `body`; false with the reason in `error` when the form is malformed,
/// holds no file part or more than one.
bool FindFormFile(std::string_view body, std::string_view boundary, std::string_view& file,
                  std::string& error);
