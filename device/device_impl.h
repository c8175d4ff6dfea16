#pragma once

// Definitions of the device templates' operations, one file per subsystem. Included where the
// templates are instantiated.
#include "access/control_requests.h"
#include "access/value_lookup.h"
#include "acquisition/ac_decoders.h"
#include "acquisition/dc_decoders.h"
#include "acquisition/poll_cycle.h"
#include "acquisition/rc_decoders.h"
#include "acquisition/round_end.h"
#include "alarms/ao_report.h"
#include "alarms/power_rules.h"
#include "config/device_options.h"
#include "config/threshold_settings.h"
