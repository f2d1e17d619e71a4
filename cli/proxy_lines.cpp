#include "cli/proxy_lines.h"

using namespace veltrano;

namespace {

// The faults a copy met, as its line names them: "delay,corrupt", and the rules' numbers "2,3".
void AppendFaults(const FaultMarks& marks, std::string& names, std::string& numbers)
{
    for (const FaultMark& mark : marks.Marks()) {
        if (!names.empty()) {
            names += ',';
            numbers += ',';
        }
        names += FaultActionKey(mark.action);
        numbers += std::to_string(mark.rule);
    }
}

void Count(ProxyWayCounts& way, const FaultMarks& marks, bool dropped, int error)
{
    if (!marks.Empty())
        ++way.faulted;
    if (dropped)
        ++way.dropped;
    else if (error != 0)
        ++way.sendFailed;
    else
        ++way.forwarded;
}

} // namespace

void ProxyLines::Write(const ProxyLine& line)
{
    static const FaultMarks NONE;
    const FaultMarks& marks = line.marks != nullptr ? *line.marks : NONE;
    Count(line.up ? m_up : m_down, marks, line.dropped, line.error);
    FrameRecord record;
    record.wallUs = line.wallUs;
    record.direction = line.up ? Direction::In : Direction::Out;
    record.peer = line.panel;
    record.local = m_local;
    record.bytes = line.bytes;
    if (line.decoded != nullptr)
        record.decoded = *line.decoded;
    record.sendError = line.error;
    record.note = line.note;
    m_faultNames.clear();
    m_faultRules.clear();
    AppendFaults(marks, m_faultNames, m_faultRules);
    m_fields.clear();
    m_fields.push_back({"way", line.up ? std::string_view("up") : std::string_view("down")});
    m_fields.push_back({"session", std::uint64_t{line.slot}});
    if (!m_faultNames.empty()) {
        m_fields.push_back({"fault", std::string_view(m_faultNames)});
        m_fields.push_back({"rule", static_cast<std::uint64_t>(marks.Marks().back().rule)});
        if (marks.Marks().size() > 1)
            m_fields.push_back({"rules", std::string_view(m_faultRules)});
    }
    if (line.centreRtt && *line.centreRtt >= 0)
        m_fields.push_back({"centre_rtt_us", *line.centreRtt});
    if (line.panelRtt)
        m_fields.push_back({"panel_rtt_us", *line.panelRtt});
    record.extra = m_fields;
    m_output.Record(record);
}
