#include "net/destination.h"

#include "protocol/number_text.h"

#include <QByteArray>

#include <arpa/inet.h>

using namespace veltrano;

namespace {

// inet_addr on the text's bytes. A text beyond ASCII cannot be a dotted quad, and a NUL inside it would
// make the C function see only the part before it, so both count as "not an address".
std::uint32_t AddressFromText(const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() == 0 || c.unicode() > 0x7F)
            return INADDR_NONE;
    }
    const QByteArray bytes = text.toLatin1();
    return ::inet_addr(bytes.constData());
}

} // namespace

int GbkByteLength(const QString& text)
{
    int length = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.unicode() < 0x80) {
            length += 1;
            continue;
        }
        // A surrogate pair is one character.
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
        length += 2;
    }
    return length;
}

int AtoiSaturating(const QString& text)
{
    // Only ASCII blanks and digits count: every other character, and a NUL, is a byte the number stops at.
    const QByteArray bytes = text.toUtf8();
    return ParseSaturatingPrefix(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())))
        .value;
}

std::optional<Endpoint> ResolveDestinationText(const QString& addressText, const QString& portText)
{
    if (GbkByteLength(addressText) < 8 || portText.isEmpty())
        return std::nullopt;
    const std::uint32_t address = AddressFromText(addressText);
    if (address == 0)
        return std::nullopt;
    // An int keeps its low 16 bits as the port, so -1 becomes 65535.
    const auto port = static_cast<std::uint16_t>(AtoiSaturating(portText) & 0xFFFF);
    return Endpoint{ntohl(address), port};
}
