#pragma once

// Opening the files named on the command line or in the configuration without being led
// astray: a symbolic link planted where an output file goes, or a FIFO with no writer or
// reader, would make the host write elsewhere or block its start for ever.

#include <cstddef>
#include <cstdio>
#include <string>

namespace klxhost {

// Opens `path` for writing (appending, or truncating when `append` is false), creating it 0640
// when missing. A final symbolic link is not followed; only a regular file or a character device
// (/dev/null, /dev/full) is accepted; nullptr with the reason otherwise.
std::FILE* open_output_file(const std::string& path, bool append, std::string& error);

// Reads a regular file of at most `max_bytes` (links are followed; FIFOs, devices and
// directories are refused without blocking). False with the reason, which does not repeat the
// path.
bool read_regular_file(const std::string& path, size_t max_bytes, std::string& text,
                       std::string& error);

}  // namespace klxhost
