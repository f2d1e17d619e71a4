// Reads a Qt Linguist .ts file and lists every text that has no finished translation and every
// translation whose text has vanished from the sources; exits 1 when there is any, 2 when the file
// cannot be read.
//
// translation_check FILE.ts
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>
#include <QXmlStreamReader>

using namespace Qt::Literals::StringLiterals;

namespace {

struct Message
{
    QString context;
    QString source;
    QString comment;
    QString translation;
    QString type; // translation's type: "", "unfinished", "vanished", "obsolete"
};

// What is wrong with a message, or nothing.
QString Fault(const Message& message)
{
    if (message.type == u"vanished"_s || message.type == u"obsolete"_s)
        return u"obsolete (the text is no longer in the sources; run the update_translations target)"_s;
    if (message.type == u"unfinished"_s || message.translation.trimmed().isEmpty())
        return u"no English (add it to the .ts and drop type=\"unfinished\")"_s;
    return {};
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    if (argc != 2) {
        out << "usage: translation_check FILE.ts\n";
        return 2;
    }
    QFile file(QString::fromLocal8Bit(argv[1]));
    if (!file.open(QIODevice::ReadOnly)) {
        out << "cannot read " << file.fileName() << ": " << file.errorString() << '\n';
        return 2;
    }
    QXmlStreamReader xml(&file);
    QString context;
    Message message;
    int messages = 0;
    int faults = 0;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            const auto name = xml.name();
            if (name == u"name"_s)
                context = xml.readElementText();
            else if (name == u"message"_s)
                message = {context, {}, {}, {}, {}};
            else if (name == u"source"_s)
                message.source = xml.readElementText();
            else if (name == u"comment"_s)
                message.comment = xml.readElementText();
            else if (name == u"translation"_s) {
                message.type = xml.attributes().value(u"type"_s).toString();
                message.translation = xml.readElementText(QXmlStreamReader::IncludeChildElements);
            }
        } else if (xml.isEndElement() && xml.name() == u"message"_s) {
            ++messages;
            const QString fault = Fault(message);
            if (!fault.isEmpty()) {
                ++faults;
                out << message.context << ": \"" << message.source << '"'
                    << (message.comment.isEmpty() ? QString() : u" ("_s + message.comment + u')') << ": "
                    << fault << '\n';
            }
        }
    }
    if (xml.hasError()) {
        out << file.fileName() << ": " << xml.errorString() << " at line " << xml.lineNumber() << '\n';
        return 2;
    }
    out << messages << " texts, " << faults << " without a finished English translation or obsolete\n";
    return faults == 0 ? 0 : 1;
}
