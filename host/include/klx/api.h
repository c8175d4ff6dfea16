#pragma once

// Symbols of the host library are exported by default; plug-ins link against them by name.
#define KLX_API __attribute__((visibility("default")))
