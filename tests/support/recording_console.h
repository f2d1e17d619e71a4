#pragma once

#include "engine/console.h"

#include <QStringList>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// A console that answers with what its owner set and records what the engine does to it: the lines of both
// lists, the messages and every state reported.
class RecordingConsole final : public IConsole
{
public:
    struct Line
    {
        std::string text; // as the list shows it
        veltrano::Endpoint peer;
        int sendError{0};
    };

    RecordingConsole() = default;

    FormExchange PullFormValues() override { return form; }
    std::optional<int> EventSelection() const override { return selection; }
    QString DestinationAddressText() const override { return destinationAddress; }
    QString DestinationPortText() const override { return destinationPort; }
    QString SourcePortText() const override { return sourcePort; }
    void AppendFrame(LogList list, const LoggedFrame& frame) override;
    void ClearList(LogList list) override;
    void ShowMessage(const QString& text) override { messages.append(text); }
    void ApplyState(ConsoleState state) override { states.push_back(state); }

    std::vector<Line>& Lines(LogList list) { return list == LogList::Sent ? sent : received; }
    // The text of every line of a list.
    std::vector<std::string> Texts(LogList list) const;

    // What the console answers.
    FormExchange form{true, {0, 1, 1, {}}};
    std::optional<int> selection{0};
    QString destinationAddress{QStringLiteral("127.0.0.1")};
    QString destinationPort{QStringLiteral("8015")};
    QString sourcePort{QStringLiteral("0")};
    // Only counts lines when false, as a load test wants.
    bool keepLines{true};

    // What the engine did.
    std::vector<Line> sent;
    std::vector<Line> received;
    std::size_t sentCount{0};
    std::size_t receivedCount{0};
    QStringList messages;
    std::vector<ConsoleState> states;
};
