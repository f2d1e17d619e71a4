#pragma once

#include "metrics/metrics_endpoint.h"
#include "protocol/result.h"

#include <memory>
#include <string>

class QTimer;

// `--metrics ADDR:PORT` listening into `endpoint`, its address told on stderr, and `publish` started at
// METRICS_PUBLISH_PERIOD; nothing for an empty text. The reason when it cannot listen.
[[nodiscard]] veltrano::Status StartAnnouncedMetrics(const std::string& text,
                                                     std::unique_ptr<veltrano::MetricsEndpoint>& endpoint,
                                                     QTimer& publish);
