#include "cli/output.h"

#include "protocol/frame_decoder.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

namespace {

constexpr std::size_t BLOCK = 64 * 1024;

} // namespace

void AppendJsonEscaped(fmt::memory_buffer& out, std::string_view text)
{
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            fmt::format_to(std::back_inserter(out), "\\u{:04x}", static_cast<unsigned>(c));
        } else {
            out.push_back(c);
        }
    }
}

Output::Output(bool jsonl, int fd) : m_jsonl(jsonl), m_fd(fd), m_terminal(::isatty(fd) == 1) {}

Output::~Output()
{
    Flush();
}

void Output::Frame(const FrameEvent& event)
{
    if (m_jsonl) {
        FrameJson(event);
    } else {
        const std::string line = FormatLogLine(event.timeUs, event.direction, ntohl(event.peer.address),
                                               ntohs(event.peer.port), event.bytes, event.sendError);
        m_buffer.append(line.data(), line.data() + line.size());
        if (event.rttUs)
            fmt::format_to(std::back_inserter(m_buffer), " (rtt {} us)", *event.rttUs);
        if (!event.note.empty())
            fmt::format_to(std::back_inserter(m_buffer), " ({})", event.note);
        m_buffer.push_back('\n');
    }
    if (m_buffer.size() >= BLOCK)
        Flush();
}

void Output::FrameJson(const FrameEvent& event)
{
    const DecodedFrame frame = DecodeFrame(event.bytes);
    const auto out = std::back_inserter(m_buffer);
    fmt::format_to(out, R"({{"type":"frame","ts":"{}","dir":"{}","peer":"{}","len":{},"hex":"{}","cmd":)",
                   FormatTimestampUtc(event.timeUs), event.direction == Direction::In ? "in" : "out",
                   FormatPeer(ntohl(event.peer.address), ntohs(event.peer.port)), event.bytes.size(),
                   FormatBytesHex(event.bytes));
    // Fields the datagram is too short to hold are null.
    if (frame.size > FRAME_COMMAND)
        fmt::format_to(out, "{}", frame.command);
    else
        m_buffer.append(std::string_view("null"));
    fmt::format_to(out, R"(,"kind":"{}","comm":)", CommandKey(frame.kind));
    if (frame.size > FRAME_COMM_NO)
        fmt::format_to(out, "{}", frame.comm);
    else
        m_buffer.append(std::string_view("null"));
    m_buffer.append(std::string_view(R"(,"dev":)"));
    if (frame.size > FRAME_DEVICE_NO)
        fmt::format_to(out, "{}", frame.device);
    else
        m_buffer.append(std::string_view("null"));
    fmt::format_to(out, R"(,"ack":{},"checksum_ok":{},"summary":")", frame.ack, frame.ChecksumOk());
    AppendJsonEscaped(m_buffer, SummarizeFrame(frame));
    m_buffer.push_back('"');
    if (event.rttUs)
        fmt::format_to(out, R"(,"rtt_us":{})", *event.rttUs);
    if (!event.note.empty()) {
        m_buffer.append(std::string_view(R"(,"note":")"));
        AppendJsonEscaped(m_buffer, event.note);
        m_buffer.push_back('"');
    }
    if (event.sendError != 0) {
        m_buffer.append(std::string_view(R"(,"error":")"));
        AppendJsonEscaped(m_buffer, std::strerror(event.sendError));
        m_buffer.push_back('"');
    }
    m_buffer.append(std::string_view("}\n"));
}

void Output::Summary(std::string_view command, std::span<const SummaryField> fields)
{
    const auto out = std::back_inserter(m_buffer);
    if (m_jsonl) {
        fmt::format_to(out, R"({{"type":"summary","command":"{}")", command);
        for (const auto& [key, value] : fields) {
            fmt::format_to(out, R"(,"{}":)", key);
            if (const auto* text = std::get_if<std::string>(&value)) {
                m_buffer.push_back('"');
                AppendJsonEscaped(m_buffer, *text);
                m_buffer.push_back('"');
            } else if (const auto* number = std::get_if<double>(&value)) {
                fmt::format_to(out, "{}", *number);
            } else {
                fmt::format_to(out, "{}", std::get<std::uint64_t>(value));
            }
        }
        m_buffer.append(std::string_view("}\n"));
    } else {
        fmt::format_to(out, "summary: {}", command);
        for (const SummaryField& field : fields)
            std::visit([&](const auto& v) { fmt::format_to(out, " {}={}", field.first, v); }, field.second);
        m_buffer.push_back('\n');
    }
    Flush();
}

void Output::EndOfBatch()
{
    if (m_terminal)
        Flush();
}

void Output::Flush()
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
