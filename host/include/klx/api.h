#pragma once

// This host's own runtime (the export macro of the host library), not part of the closed host's
// interface.

// Symbols of the host library are exported by default; plug-ins link against them by name.
#define KLX_API __attribute__((visibility("default")))
