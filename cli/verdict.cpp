#include "cli/verdict.h"

#include "link/json_line.h"

#include <QSaveFile>
#include <QString>
#include <QXmlStreamWriter>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

using namespace veltrano;

namespace {

// One line: a message with a newline or a control character would break the text and JUnit readers.
std::string OneLine(std::string text)
{
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    }
    return text;
}

// XML 1.0 has no place for most control characters, even escaped; keep tabs and newlines.
QString XmlText(std::string_view text)
{
    QString out = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    for (QChar& c : out) {
        if (c.unicode() < 0x20 && c != u'\n' && c != u'\t')
            c = u' ';
    }
    return out;
}

QString Seconds(double seconds)
{
    return QString::number(std::max(seconds, 0.0), 'f', 3);
}

std::string_view OutcomeTag(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Passed:
        return "PASS";
    case Outcome::Failed:
        return "FAIL";
    case Outcome::Skipped:
        return "SKIP";
    }
    return "?";
}

} // namespace

VerdictReport::VerdictReport(std::string suite) : m_suite(std::move(suite)) {}

const Verdict& VerdictReport::Add(Verdict verdict)
{
    verdict.message = OneLine(std::move(verdict.message));
    verdict.seconds = std::round(std::max(verdict.seconds, 0.0) * 1000) / 1000;
    m_verdicts.push_back(std::move(verdict));
    return m_verdicts.back();
}

std::size_t VerdictReport::Count(Outcome outcome) const
{
    return static_cast<std::size_t>(std::count_if(
        m_verdicts.begin(), m_verdicts.end(), [outcome](const Verdict& v) { return v.outcome == outcome; }));
}

double VerdictReport::Seconds() const
{
    double total = 0;
    for (const Verdict& verdict : m_verdicts)
        total += verdict.seconds;
    return total;
}

int VerdictReport::ExitCode() const
{
    return Count(Outcome::Failed) == 0 && Ran() > 0 ? 0 : 1;
}

std::string VerdictReport::Junit() const
{
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("testsuite"));
    writer.writeAttribute(QStringLiteral("name"), XmlText(m_suite));
    writer.writeAttribute(QStringLiteral("tests"), QString::number(m_verdicts.size()));
    writer.writeAttribute(QStringLiteral("failures"), QString::number(Count(Outcome::Failed)));
    writer.writeAttribute(QStringLiteral("errors"), QStringLiteral("0"));
    writer.writeAttribute(QStringLiteral("skipped"), QString::number(Count(Outcome::Skipped)));
    writer.writeAttribute(QStringLiteral("time"), ::Seconds(Seconds()));
    for (const Verdict& verdict : m_verdicts) {
        writer.writeStartElement(QStringLiteral("testcase"));
        writer.writeAttribute(QStringLiteral("name"), XmlText(verdict.id));
        writer.writeAttribute(QStringLiteral("classname"),
                              XmlText(verdict.classname.empty() ? m_suite : verdict.classname));
        writer.writeAttribute(QStringLiteral("time"), ::Seconds(verdict.seconds));
        if (verdict.outcome == Outcome::Failed) {
            writer.writeStartElement(QStringLiteral("failure"));
            writer.writeAttribute(QStringLiteral("message"), XmlText(verdict.message));
            writer.writeCharacters(XmlText(verdict.details.empty() ? verdict.message : verdict.details));
            writer.writeEndElement();
        } else if (verdict.outcome == Outcome::Skipped) {
            writer.writeStartElement(QStringLiteral("skipped"));
            if (!verdict.message.empty())
                writer.writeAttribute(QStringLiteral("message"), XmlText(verdict.message));
            writer.writeEndElement();
        } else if (!verdict.message.empty()) {
            writer.writeTextElement(QStringLiteral("system-out"), XmlText(verdict.message));
        }
        writer.writeEndElement();
    }
    writer.writeEndElement();
    writer.writeEndDocument();
    return xml.toStdString();
}

Status VerdictReport::WriteJunit(const std::string& path) const
{
    QSaveFile file(QString::fromStdString(path));
    const std::string xml = Junit();
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(xml.data(), static_cast<qint64>(xml.size())) != static_cast<qint64>(xml.size()) ||
        !file.commit())
        return Failure(fmt::format("cannot write {}: {}", path, file.errorString().toStdString()));
    return {};
}

void AppendVerdictLine(std::string& out, veltrano::OutputFormat format, const Verdict& verdict)
{
    if (format == veltrano::OutputFormat::JsonLines) {
        JsonLine(out)
            .Text("type", "verdict")
            .Text("case", verdict.id)
            .Text("result", OutcomeKey(verdict.outcome))
            .Text("message", verdict.message)
            .Number("time_s", verdict.seconds)
            .End();
        return;
    }
    out += fmt::format("{}  {}  {:.3f} s", OutcomeTag(verdict.outcome), verdict.id, verdict.seconds);
    if (!verdict.message.empty()) {
        out += "  ";
        out += verdict.message;
    }
    out += '\n';
}

std::vector<RecordField> VerdictSummary(const VerdictReport& report)
{
    return {
        {"tests", std::uint64_t{report.Verdicts().size()}},
        {"passed", std::uint64_t{report.Count(Outcome::Passed)}},
        {"failed", std::uint64_t{report.Count(Outcome::Failed)}},
        {"skipped", std::uint64_t{report.Count(Outcome::Skipped)}},
        {"time_s", std::round(report.Seconds() * 1000) / 1000},
        {"exit", std::int64_t{report.ExitCode()}},
    };
}
