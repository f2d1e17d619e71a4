#include "tests/support/recording_console.h"

#include "protocol/frame.h"

using namespace veltrano;

void RecordingConsole::AppendFrame(LogList list, const LoggedFrame& frame)
{
    ++(list == LogList::Sent ? sentCount : receivedCount);
    if (keepLines)
        Lines(list).push_back({FormatDatagramHex(frame.bytes), frame.peer, frame.sendError});
}

void RecordingConsole::ClearList(LogList list)
{
    Lines(list).clear();
    (list == LogList::Sent ? sentCount : receivedCount) = 0;
}

std::vector<std::string> RecordingConsole::Texts(LogList list) const
{
    std::vector<std::string> texts;
    for (const Line& line : list == LogList::Sent ? sent : received)
        texts.push_back(line.text);
    return texts;
}
