#pragma once

#include "link/frame_record.h"
#include "link/output_format.h"
#include "link/round_trips.h"

#include <array>

#include <span>
#include <string>
#include <string_view>

namespace veltrano {

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
