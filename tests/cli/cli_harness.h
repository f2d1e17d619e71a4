#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using Args = std::vector<std::string>;
inline Args operator+(Args first, const Args& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// HOST:PORT on 127.0.0.1, the only address the tests send to.
inline std::string Loopback(std::uint16_t port)
{
    return "127.0.0.1:" + std::to_string(port);
}

// The built companion as a child process. Every wait runs the test's event loop, so an engine in the test
// process answers meanwhile, and every wait is bounded.

struct CliResult
{
    int exitCode{-1};             // -1: it did not finish in time, or crashed
    std::vector<std::string> out; // stdout lines
    std::string err;

    // "summary: ..." line's fields, key to value.
    std::map<std::string, std::string> Summary() const;
};

// Runs it to the end, feeding `input` to its stdin.
CliResult RunCli(const Args& arguments, std::chrono::milliseconds limit = std::chrono::seconds(20),
                 const QByteArray& input = {});

// A companion left running: a centre, or a sweep to interrupt.
class CliProcess final
{
public:
    // Standard output goes to `outputFile` when one is named, and is read back from there at the end.
    explicit CliProcess(const Args& arguments, const std::string& outputFile = {});
    ~CliProcess();
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    // The port a centre says it listens on, once it has said so.
    std::optional<std::uint16_t> ListeningPort(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // The port of the first stderr text matching `pattern`, whose one capture is the port.
    std::optional<std::uint16_t> AnnouncedPort(const QString& pattern,
                                               std::chrono::milliseconds limit = std::chrono::seconds(10));
    void Signal(int signal) const;
    CliResult Finish(std::chrono::milliseconds limit = std::chrono::seconds(20));
    QProcess& Process() { return m_process; }

private:
    QProcess m_process;
    QString m_outputFile;
    QByteArray m_err;
};

std::vector<std::string> SplitLines(const QByteArray& text);
