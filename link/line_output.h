#pragma once

#include "link/frame_record.h"
#include "link/output_format.h"
#include "link/round_trips.h"
#include "protocol/endpoint.h"

#include <array>

#include <span>
#include <string>
#include <string_view>

namespace veltrano {

// The version of docs/frame.schema.json that the JSON lines keep, given in the listening line. Adding a key
// keeps it; removing or renaming one raises it, so a client can refuse lines it would misread.
inline constexpr std::string_view JSON_SCHEMA_VERSION = "1";

// What a command prints on standard output: a line per frame record, in text or as JSON, other lines the
// command builds itself, a summary last. Lines gather in one reused buffer that is written a block at a
// time, and at once on a terminal. A reader that went away takes no more output and stops nothing.
class LineOutput final
{
public:
    explicit LineOutput(veltrano::OutputFormat format, int fd = 1);
    ~LineOutput();
    LineOutput(const LineOutput&) = delete;
    LineOutput& operator=(const LineOutput&) = delete;

    veltrano::OutputFormat Format() const { return m_format; }
    void Record(const FrameRecord& record);
    // Appends whole lines (each with its newline) to the buffer; call Written after.
    std::string& Buffer() { return m_buffer; }
    void Written();
    // Text: "summary: <command> key=value ..."; JSON: {"type":"summary","command":...,key:value...}. Flushed.
    void Summary(std::string_view command, std::span<const RecordField> fields);
    // JSON: {"type":"listening","address":...,"port":...,"schema":...}, written at once, the first line of
    // a command that listens, so that a client that bound port 0 learns its port from standard output.
    // Text: nothing (the command tells it on standard error). `more` are the command's own keys (another
    // port it listens on), after the schema.
    void Listening(const Endpoint& local, std::span<const RecordField> more = {});
    // Lines after a batch of frames: written at once on a terminal, else once a block has gathered.
    void EndOfBatch();
    void Flush();

private:
    veltrano::OutputFormat m_format{veltrano::OutputFormat::Text};
    int m_fd{1};
    bool m_terminal{false};
    bool m_failed{false};
    std::string m_buffer;
};

// "rtt_p50_us", "rtt_p90_us", "rtt_p99_us" and "rtt_max_us", as every summary names them.
std::array<RecordField, 4> RoundTripFields(const RoundTrips& trips);

// The summary line alone, as LineOutput writes it.
void AppendSummary(std::string& out, veltrano::OutputFormat format, std::string_view command,
                   std::span<const RecordField> fields);

} // namespace veltrano
