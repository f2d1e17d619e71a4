#include "verdict/junit.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veltrano {

namespace {

// XML 1.0 has no place for most control characters, even escaped: they become spaces, tabs and newlines
// stay (escaped in attributes, where a reader would fold them).
void AppendXml(std::string& out, std::string_view text, bool attribute)
{
    for (const char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += attribute ? "&quot;" : "\"";
            break;
        case '\n':
            out += attribute ? "&#10;" : "\n";
            break;
        case '\t':
            out += attribute ? "&#9;" : "\t";
            break;
        default:
            out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
        }
    }
}

class XmlElements final
{
public:
    explicit XmlElements(std::string& out) : m_out(out)
    {
        m_out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    }

    void Open(std::string_view name)
    {
        CloseTag();
        m_out += '\n';
        m_out.append(4 * m_depth, ' ');
        m_out += '<';
        m_out += name;
        m_open = true;
        m_names.emplace_back(name);
        ++m_depth;
    }
    void Attribute(std::string_view name, std::string_view value)
    {
        m_out += ' ';
        m_out += name;
        m_out += "=\"";
        AppendXml(m_out, value, true);
        m_out += '"';
    }
    void Text(std::string_view text)
    {
        CloseTag();
        AppendXml(m_out, text, false);
        m_text = true;
    }
    void Close()
    {
        --m_depth;
        if (m_open) {
            m_out += "/>";
        } else {
            if (!m_text) {
                m_out += '\n';
                m_out.append(4 * m_depth, ' ');
            }
            m_out += "</" + m_names.back() + ">";
        }
        m_names.pop_back();
        m_open = false;
        m_text = false;
    }
    void End() { m_out += '\n'; }

private:
    void CloseTag()
    {
        if (m_open)
            m_out += '>';
        m_open = false;
    }

    std::string& m_out;
    std::vector<std::string> m_names;
    std::size_t m_depth{0};
    bool m_open{false}; // the start tag still takes attributes
    bool m_text{false}; // the element holds text: its end tag follows it on the same line
};

std::string SecondsText(double seconds)
{
    return fmt::format("{:.3f}", std::max(seconds, 0.0));
}

} // namespace

std::string VerdictReport::Junit() const
{
    std::string xml;
    XmlElements writer(xml);
    writer.Open("testsuite");
    writer.Attribute("name", Suite());
    writer.Attribute("tests", std::to_string(Verdicts().size()));
    writer.Attribute("failures", std::to_string(Count(Outcome::Failed)));
    writer.Attribute("errors", "0");
    writer.Attribute("skipped", std::to_string(Count(Outcome::Skipped)));
    writer.Attribute("time", SecondsText(Seconds()));
    for (const Verdict& verdict : Verdicts()) {
        writer.Open("testcase");
        writer.Attribute("name", verdict.id);
        writer.Attribute("classname", verdict.classname.empty() ? Suite() : verdict.classname);
        writer.Attribute("time", SecondsText(verdict.seconds));
        if (verdict.outcome == Outcome::Failed) {
            writer.Open("failure");
            writer.Attribute("message", verdict.message);
            writer.Text(verdict.details.empty() ? verdict.message : verdict.details);
            writer.Close();
        } else if (verdict.outcome == Outcome::Skipped) {
            writer.Open("skipped");
            if (!verdict.message.empty())
                writer.Attribute("message", verdict.message);
            writer.Close();
        } else if (!verdict.message.empty()) {
            writer.Open("system-out");
            writer.Text(verdict.message);
            writer.Close();
        }
        writer.Close();
    }
    writer.Close();
    writer.End();
    return xml;
}

Status VerdictReport::WriteJunit(const std::string& path) const
{
    const std::string xml = Junit();
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0)
        return Failure(fmt::format("cannot write {}: {}", path, std::strerror(errno)));
    // mkstemp makes the file 0600; a report is read by others, as any file the user writes.
    const mode_t mask = umask(0);
    umask(mask);
    bool ok = write(fd, xml.data(), xml.size()) == static_cast<ssize_t>(xml.size()) &&
              fchmod(fd, 0666 & ~mask) == 0 && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(temporary.c_str());
        return Failure(fmt::format("cannot write {}: {}", path, std::strerror(error)));
    }
    return {};
}

Status WriteJunit(const std::string& path, std::string suite, std::vector<Verdict> verdicts)
{
    VerdictReport report(std::move(suite));
    for (Verdict& verdict : verdicts)
        report.Add(std::move(verdict));
    return report.WriteJunit(path);
}

} // namespace veltrano
