#pragma once

#include "link/fault_engine.h"
#include "link/frame_record.h"
#include "link/line_output.h"
#include "link/proxy_sessions.h"
#include "protocol/endpoint.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// One datagram's way through the proxy as its line tells it.
struct ProxyLine
{
    bool up{true};
    veltrano::Endpoint panel{};
    std::span<const std::uint8_t> bytes{};
    const veltrano::DecodedFrame* decoded{nullptr};
    const veltrano::FaultMarks* marks{nullptr};
    std::string_view note{};
    std::int64_t wallUs{0}; // when the proxy heard it
    int error{0};           // of its send
    bool dropped{false};
    std::optional<std::int64_t> centreRtt{};
    std::optional<std::int64_t> panelRtt{};
    std::uint32_t slot{0};
};

// Each datagram's line and its count, both ways.
class ProxyLines final
{
public:
    explicit ProxyLines(veltrano::LineOutput& output) : m_output(output) {}

    void SetLocal(const veltrano::Endpoint& local) { m_local = local; }
    void Received(bool up) { ++(up ? m_up : m_down).received; }
    void Write(const ProxyLine& line);

    const veltrano::ProxyWayCounts& Up() const { return m_up; }
    const veltrano::ProxyWayCounts& Down() const { return m_down; }

private:
    veltrano::LineOutput& m_output;
    veltrano::Endpoint m_local;
    veltrano::ProxyWayCounts m_up;
    veltrano::ProxyWayCounts m_down;
    std::vector<veltrano::RecordField> m_fields;
    std::string m_faultNames;
    std::string m_faultRules;
};
