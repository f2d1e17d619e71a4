#pragma once

#include "book/panel_book.h"
#include "link/frame_record.h"
#include "link/output_format.h"
#include "protocol/result.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace veltrano {

// The monotonic clock at its tick's resolution (a few milliseconds), a fraction of the cost of a precise
// reading per datagram: silences are measured in seconds. Same epoch as steady_clock on Linux.
SteadyTime CoarseNow();

// The companion centre's reading of its panel book: the silence limit its options give, the lines it
// writes for the events a frame carries and for panels gone missing or back, how many of those it
// reported, the table of its report file and its summary fields.
class CentreBook final
{
public:
    struct Options
    {
        double superviseS{0}; // 0: no limit of its own
        bool report{false};   // a report file is asked for
        bool events{false};   // a line per event a panel's frame carries
        bool metrics{false};  // the metrics count panels and events
    };
    // A report without a limit of its own tells silences of a minute, as it always has.
    static constexpr double REPORT_SILENCE_S = 60;
    // The summary names this many of the longest silences.
    static constexpr std::size_t LONGEST_SHOWN = 3;

    // Whether the options need a book at all: without one there is nothing to do per datagram.
    static bool Needed(const Options& options);

    CentreBook(const Options& options, OutputFormat format, SteadyTime start);

    // Panels are checked for silence: a limit or a report was asked for.
    bool Supervising() const { return m_supervising; }
    // A datagram taken at `now`: the back line of a panel reported missing, and with `events` a line per
    // event its frame carries, join `out`.
    void Hear(std::string& out, const Endpoint& peer, const DecodedFrame& decoded, SteadyTime now,
              std::int64_t wallUs);
    // A missing line per panel silent past the limit since the last check joins `out`.
    void Check(std::string& out, SteadyTime now);

    // The report file: a JSON line per panel, in the order they were first heard.
    std::string Table(SteadyTime now) const;
    // The table written to `path`; the reason when it cannot be, an error of the run as a capture's is.
    [[nodiscard]] Status WriteTable(const std::string& path, SteadyTime now) const;
    // The book's fields of the centre's summary; `longest` holds their text and must outlive them.
    std::vector<RecordField> SummaryFields(SteadyTime now, std::string& longest) const;

    const PanelBook& Book() const { return m_book; }

private:
    static std::chrono::microseconds SilenceLimit(const Options& options);
    void AppendReport(std::string& out, const PanelBook::Report& report);
    void AppendEvents(std::string& out, const PanelBook::Heard& heard, const Endpoint& peer,
                      std::int64_t wallUs) const;

    bool m_supervising{false};
    bool m_events{false};
    OutputFormat m_format{OutputFormat::Text};
    PanelBook m_book;
    std::uint64_t m_reportedMissing{0};
    std::uint64_t m_reportedBack{0};
};

} // namespace veltrano
