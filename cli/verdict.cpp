#include "cli/verdict.h"

#include <QSaveFile>
#include <QString>
#include <QXmlStreamWriter>

#include <fmt/format.h>

#include <algorithm>

using namespace veltrano;

namespace {

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

} // namespace

std::string VerdictReport::Junit() const
{
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("testsuite"));
    writer.writeAttribute(QStringLiteral("name"), XmlText(Suite()));
    writer.writeAttribute(QStringLiteral("tests"), QString::number(Verdicts().size()));
    writer.writeAttribute(QStringLiteral("failures"), QString::number(Count(Outcome::Failed)));
    writer.writeAttribute(QStringLiteral("errors"), QStringLiteral("0"));
    writer.writeAttribute(QStringLiteral("skipped"), QString::number(Count(Outcome::Skipped)));
    writer.writeAttribute(QStringLiteral("time"), ::Seconds(Seconds()));
    for (const Verdict& verdict : Verdicts()) {
        writer.writeStartElement(QStringLiteral("testcase"));
        writer.writeAttribute(QStringLiteral("name"), XmlText(verdict.id));
        writer.writeAttribute(QStringLiteral("classname"),
                              XmlText(verdict.classname.empty() ? Suite() : verdict.classname));
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

Status WriteJunit(const std::string& path, std::string suite, std::vector<Verdict> verdicts)
{
    VerdictReport report(std::move(suite));
    for (Verdict& verdict : verdicts)
        report.Add(std::move(verdict));
    return report.WriteJunit(path);
}
