#pragma once

#include <string_view>

/// The service's OpenAPI 3.1 description, exactly the bytes of serve/openapi.json, which the
/// package also installs as /usr/share/vetrix-serve/openapi.json.
std::string_view OpenApiDocument();
