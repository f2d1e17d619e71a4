#pragma once

#include "engine/console.h"

#include <QObject>
#include <QStringList>

#include <map>
#include <string>
#include <utility>
#include <vector>

class CHostCenterEngine;

// A console that records what the handlers do to it and answers with what the test configured.
class FakeConsole final : public QObject, public IConsole
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FakeConsole)

public:
    // What the data exchange yields: the first `reached` of the four members are written.
    struct Form
    {
        int commNo{0};
        int deviceNo{1};
        int zoneNo{1};
        QString commandText{};
        int reached{4};
        bool succeeds{true};
    };

    FakeConsole();
    ~FakeConsole() override;

    // Notifications posted to Window() go to this engine's OnUdpNotify.
    void Attach(CHostCenterEngine* engine) { m_engine = engine; }
    // Points the destination fields at 127.0.0.1 and the given host-order port.
    void SetDestination(std::uint16_t port);

    bool PullFormValues(int& commNo, int& deviceNo, int& zoneNo, QString& commandText) override;
    std::optional<int> EventSelection() const override { return selection; }
    QString ControlText(int controlId) const override;
    void AppendLine(int listId, std::string_view line) override;
    void ResetList(int listId) override;
    void ShowMessage(const QString& text) override { messages.append(text); }
    void EnableControl(int controlId, bool enable) override;
    void SetTimer(int timerId, int periodMs) override;
    void KillTimer(int timerId) override;
    QObject* Window() override { return this; }

    const std::vector<std::string>& Lines(int listId) { return lines[listId]; }

    Form form;
    std::optional<int> selection{0};
    std::map<int, QString> texts;

    std::map<int, std::vector<std::string>> lines;
    QStringList messages;
    std::map<int, bool> flags; // as the calls left them; ids never touched are absent
    int enableCalls{0};
    std::map<int, int> runningTimers; // id -> period

protected:
    bool event(QEvent* e) override;

private:
    CHostCenterEngine* m_engine{nullptr};
};
