#include "link/line_output.h"

#include "link/json_line.h"

#include <unistd.h>

#include <cerrno>

namespace veltrano {

namespace {

constexpr std::size_t BLOCK = 64 * 1024;

} // namespace

void AppendSummary(std::string& out, veltrano::OutputFormat format, std::string_view command,
                   std::span<const RecordField> fields)
{
    if (format == veltrano::OutputFormat::JsonLines) {
        JsonLine line(out);
        line.Text("type", "summary").Text("command", command);
        for (const RecordField& field : fields)
            AppendFieldJson(line, field);
        line.End();
        return;
    }
    out += "summary: ";
    out += command;
    for (const RecordField& field : fields)
        AppendFieldText(out, field);
    out += '\n';
}

std::array<RecordField, 4> RoundTripFields(const RoundTrips& trips)
{
    const auto us = [](std::int64_t value) { return static_cast<std::uint64_t>(value); };
    return {{
        {"rtt_p50_us", us(trips.Percentile(0.50))},
        {"rtt_p90_us", us(trips.Percentile(0.90))},
        {"rtt_p99_us", us(trips.Percentile(0.99))},
        {"rtt_max_us", us(trips.Max())},
    }};
}

LineOutput::LineOutput(veltrano::OutputFormat format, int fd)
    : m_format(format), m_fd(fd), m_terminal(::isatty(fd) == 1)
{
    m_buffer.reserve(BLOCK + 4096);
}

LineOutput::~LineOutput()
{
    Flush();
}

void LineOutput::Record(const FrameRecord& record)
{
    if (m_format == veltrano::OutputFormat::JsonLines)
        AppendJsonLine(m_buffer, record);
    else
        AppendTextLine(m_buffer, record);
    Written();
}

void LineOutput::Written()
{
    if (m_buffer.size() >= BLOCK)
        Flush();
}

void LineOutput::Summary(std::string_view command, std::span<const RecordField> fields)
{
    AppendSummary(m_buffer, m_format, command, fields);
    Flush();
}

void LineOutput::Listening(const Endpoint& local, std::span<const RecordField> more)
{
    if (m_format != veltrano::OutputFormat::JsonLines)
        return;
    const std::string peer = local.ToString();
    JsonLine line(m_buffer);
    line.Text("type", "listening")
        .Text("address", std::string_view(peer).substr(0, peer.rfind(':')))
        .Number("port", local.port)
        .Text("schema", JSON_SCHEMA_VERSION);
    for (const RecordField& field : more)
        AppendFieldJson(line, field);
    line.End();
    Flush();
}

void LineOutput::EndOfBatch()
{
    if (m_terminal)
        Flush();
}

void LineOutput::Flush()
{
    const char* data = m_buffer.data();
    std::size_t left = m_buffer.size();
    while (left > 0 && !m_failed) {
        const ssize_t written = ::write(m_fd, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            m_failed = true;
            break;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    m_buffer.clear();
}

} // namespace veltrano
