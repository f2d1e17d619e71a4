#include "cli/capture.h"

#include <arpa/inet.h>

std::optional<std::string> Capture::Open(const std::string& path)
{
    if (path.empty())
        return std::nullopt;
    return m_writer.Open(path);
}

void Capture::Record(std::int64_t timeUs, const Destination& from, const Destination& to,
                      std::span<const std::uint8_t> bytes)
{
    if (!m_writer.IsOpen() || m_error)
        return;
    m_error = m_writer.Write(
        {timeUs, ntohl(from.address), ntohs(from.port), ntohl(to.address), ntohs(to.port), bytes});
}

std::optional<std::string> Capture::Close()
{
    auto closing = m_writer.Close();
    return m_error ? m_error : closing;
}
