#pragma once

// The signals other than SIGINT and SIGTERM (which stop the poll loop), and the output the host
// writes to streams it does not own:
//  - SIGPIPE and SIGXFSZ are ignored from the start: a reader that went away or a file-size
//    limit makes the write fail, which is counted as lost output, instead of killing the host
//    before it can close its database;
//  - SIGUSR1 is ignored;
//  - SIGHUP is ignored during start-up; once polling, it reopens the trace and capture files
//    (for log rotation: rename them, then send SIGHUP).

#include <ostream>

namespace klxhost {

class Capture;
class LineFile;

void ignore_stray_signals();
void watch_reopen_signal();
// True once for each SIGHUP received since the last call.
bool reopen_requested();
// Opens the trace and capture files again and says so.
void reopen_files(std::ostream& out, LineFile& trace, LineFile& capture);

// Says what the capture lost and whether standard output or error lost anything (a closed
// pipe); false when anything was lost.
bool report_outputs(std::ostream& out, const Capture& capture);

}  // namespace klxhost
