#pragma once

// Tells the service manager (systemd, Type=notify) how the host is doing: READY=1 once the
// configuration is loaded and the ports are opened, WATCHDOG=1 from the poll loop at half the
// watchdog interval it asks for, STOPPING=1 when the host begins to stop. Without NOTIFY_SOCKET
// nothing is sent.

#include <chrono>
#include <memory>

#include "export_sink.h"

namespace klxhost {

void notify_ready();

// The watchdog pings and STOPPING=1; nullptr when no service manager listens.
std::unique_ptr<ExportSink> make_service_notifier();

}  // namespace klxhost
