#pragma once

// The companion's text inputs other than HOST:PORT (net/host_port.h) and hex (protocol/hex.h) live in the
// core beside what they name: an event (sim/event_name.h) and a rate (link/rate_text.h).
#include "link/rate_text.h"
#include "protocol/log_line.h"
#include "sim/event_name.h"

using veltrano::MAX_RATE;
using veltrano::ParseEventName;
using veltrano::ParseRate;
