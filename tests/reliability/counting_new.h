#pragma once

#include <cstddef>

// The program's live heap as seen through operator new and delete, which this binary replaces
// with counting versions (everything of the device, the host stand-in and the simulator
// allocates through them). Works alike in the plain and the sanitizer builds.
namespace counting_new {

size_t live_bytes();
size_t live_blocks();
// Allocations made since the program started.
size_t allocations();

}  // namespace counting_new
