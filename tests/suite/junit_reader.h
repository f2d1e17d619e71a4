#pragma once

#include <QByteArray>
#include <QXmlStreamReader>

#include <map>
#include <set>
#include <string>

// What a CI system reads of a JUnit file.
struct JunitCase
{
    std::string classname;
    std::string outcome; // "passed", "failed", "skipped"
    std::string message;
    std::string body;
};
struct JunitSuite
{
    std::map<std::string, std::string> attributes;
    std::map<std::string, JunitCase> cases;
    bool wellFormed{false};
};

inline JunitSuite ReadJunit(const QByteArray& xml)
{
    JunitSuite suite;
    QXmlStreamReader reader(xml);
    std::string current;
    while (!reader.atEnd()) {
        reader.readNext();
        if (!reader.isStartElement())
            continue;
        const auto name = reader.name();
        if (name == u"testsuite") {
            for (const auto& a : reader.attributes())
                suite.attributes[a.name().toString().toStdString()] = a.value().toString().toStdString();
        } else if (name == u"testcase") {
            current = reader.attributes().value(QStringLiteral("name")).toString().toStdString();
            suite.cases[current] = {reader.attributes().value(QStringLiteral("classname")).toString().toStdString(), "passed",
                                    {}, {}};
        } else if (name == u"failure") {
            suite.cases[current].outcome = "failed";
            suite.cases[current].message = reader.attributes().value(QStringLiteral("message")).toString().toStdString();
            suite.cases[current].body = reader.readElementText().toStdString();
        } else if (name == u"skipped") {
            suite.cases[current].outcome = "skipped";
        }
    }
    suite.wellFormed = !reader.hasError();
    return suite;
}

// The cases whose outcome is `outcome`.
inline std::set<std::string> CasesOf(const JunitSuite& suite, const std::string& outcome)
{
    std::set<std::string> ids;
    for (const auto& [id, c] : suite.cases) {
        if (c.outcome == outcome)
            ids.insert(id);
    }
    return ids;
}
