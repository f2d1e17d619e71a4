#include "tests/engine/fake_console.h"

#include "engine/control_ids.h"
#include "engine/host_center_engine.h"
#include "net/udp_endpoint.h"

using namespace Qt::Literals::StringLiterals;

FakeConsole::FakeConsole() = default;

FakeConsole::~FakeConsole() = default;

void FakeConsole::SetDestination(std::uint16_t port)
{
    texts[IDC_DEST_IP] = u"127.0.0.1"_s;
    texts[IDC_DEST_PORT] = QString::number(port);
}

bool FakeConsole::PullFormValues(int& commNo, int& deviceNo, int& zoneNo, QString& commandText)
{
    if (form.reached > 0)
        commNo = form.commNo;
    if (form.reached > 1)
        deviceNo = form.deviceNo;
    if (form.reached > 2)
        zoneNo = form.zoneNo;
    if (form.reached > 3)
        commandText = form.commandText;
    return form.succeeds;
}

QString FakeConsole::ControlText(int controlId) const
{
    const auto it = texts.find(controlId);
    return it == texts.end() ? QString() : it->second;
}

void FakeConsole::AppendLine(int listId, std::string_view line)
{
    lines[listId].emplace_back(line);
}

void FakeConsole::ResetList(int listId)
{
    lines[listId].clear();
}

void FakeConsole::EnableControl(int controlId, bool enable)
{
    ++enableCalls;
    flags[controlId] = enable;
}

void FakeConsole::SetTimer(int timerId, int periodMs)
{
    runningTimers[timerId] = periodMs;
}

void FakeConsole::KillTimer(int timerId)
{
    runningTimers.erase(timerId);
}

bool FakeConsole::event(QEvent* e)
{
    if (m_engine != nullptr && m_engine->DispatchWindowMessage(e))
        return true;
    return QObject::event(e);
}
