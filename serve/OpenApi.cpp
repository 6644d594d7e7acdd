#include "serve/OpenApi.h"

#include "serve/OpenApiDocument.h"

std::string_view OpenApiDocument() { return kOpenApiDocument; }
