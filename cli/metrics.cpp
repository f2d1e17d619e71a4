#include "cli/metrics.h"

#include "protocol/endpoint.h"

#include <QTimer>

#include <cstdio>

using namespace veltrano;

Status StartAnnouncedMetrics(const std::string& text, std::unique_ptr<veltrano::MetricsEndpoint>& endpoint,
                             QTimer& publish)
{
    if (text.empty())
        return {};
    const auto where = ParseListenAddress(text);
    if (!where)
        return Failure(where.error());
    auto metrics = veltrano::MetricsEndpoint::Start(Endpoint{where->address, where->port});
    if (!metrics)
        return Failure(metrics.error());
    endpoint = std::move(*metrics);
    std::fprintf(stderr, "metrics on http://%s/metrics\n", endpoint->Address().c_str());
    publish.start(veltrano::METRICS_PUBLISH_PERIOD);
    return {};
}
