#include "tests/cli/cli_harness.h"

#include "tests/support/hex_text.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QTest>

#include <csignal>
#include <sstream>

namespace {

const QString EXECUTABLE = QStringLiteral(VELTRANO_CLI_PATH);

CliResult Collect(QProcess& process, const QByteArray& earlierErr, std::chrono::milliseconds limit)
{
    CliResult result;
    const bool finished = QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; },
                                          static_cast<int>(limit.count()));
    if (!finished) {
        process.kill();
        process.waitForFinished(5000);
    } else if (process.exitStatus() == QProcess::NormalExit) {
        result.exitCode = process.exitCode();
    }
    result.out = SplitLines(process.readAllStandardOutput());
    result.err = (earlierErr + process.readAllStandardError()).toStdString();
    return result;
}

QStringList ToQt(const Args& arguments)
{
    QStringList list;
    for (const std::string& argument : arguments)
        list.append(QString::fromStdString(argument));
    return list;
}

} // namespace

std::vector<std::string> SplitLines(const QByteArray& text)
{
    std::vector<std::string> lines;
    for (const QByteArray& line : text.split('\n')) {
        if (!line.isEmpty())
            lines.push_back(line.toStdString());
    }
    return lines;
}

std::map<std::string, std::string> CliResult::Summary() const
{
    return SummaryFields(out);
}

CliResult RunCli(const Args& arguments, std::chrono::milliseconds limit, const QByteArray& input)
{
    QProcess process;
    process.start(EXECUTABLE, ToQt(arguments));
    if (!process.waitForStarted(5000))
        return {};
    if (!input.isEmpty())
        process.write(input);
    process.closeWriteChannel();
    return Collect(process, {}, limit);
}

CliProcess::CliProcess(const Args& arguments, const std::string& outputFile)
    : m_outputFile(QString::fromStdString(outputFile))
{
    if (!m_outputFile.isEmpty())
        m_process.setStandardOutputFile(m_outputFile);
    m_process.start(EXECUTABLE, ToQt(arguments));
    m_process.waitForStarted(5000);
    m_process.closeWriteChannel();
}

CliProcess::~CliProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

std::optional<std::uint16_t> CliProcess::ListeningPort(std::chrono::milliseconds limit)
{
    return AnnouncedPort(QStringLiteral("listening on [0-9.]+:([0-9]+)"), limit);
}

std::optional<std::uint16_t> CliProcess::AnnouncedPort(const QString& pattern,
                                                       std::chrono::milliseconds limit)
{
    const QRegularExpression listening(pattern);
    std::optional<std::uint16_t> port;
    [[maybe_unused]] const bool ended = QTest::qWaitFor(
        [&] {
            m_err += m_process.readAllStandardError();
            const auto match = listening.match(QString::fromUtf8(m_err));
            if (match.hasMatch())
                port = static_cast<std::uint16_t>(match.captured(1).toUInt());
            return port.has_value() || m_process.state() == QProcess::NotRunning;
        },
        static_cast<int>(limit.count()));
    return port;
}

void CliProcess::Signal(int signal) const
{
    // A child that has exited has no id (0): kill(0, ...) would signal the whole process group, the test
    // runner included.
    const auto pid = static_cast<pid_t>(m_process.processId());
    if (pid > 0)
        ::kill(pid, signal);
}

CliResult CliProcess::Finish(std::chrono::milliseconds limit)
{
    CliResult result = Collect(m_process, m_err, limit);
    QFile file(m_outputFile);
    if (!m_outputFile.isEmpty() && file.open(QIODevice::ReadOnly))
        result.out = SplitLines(file.readAll());
    return result;
}
