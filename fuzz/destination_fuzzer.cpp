// Arbitrary address and port texts through the destination rule: no crash, no undefined behaviour,
// and an accepted destination never has the zero address.
#include "net/destination.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace veltrano;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first NUL-free run up to a 0x00 byte is the address text, the rest the port text.
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype split = input.indexOf('\0');
    const QString address = QString::fromUtf8(split < 0 ? input : input.left(split));
    const QString port = QString::fromUtf8(split < 0 ? QByteArray() : input.mid(split + 1));

    const auto destination = ResolveDestinationText(address, port);
    if (destination && destination->address == 0)
        std::abort();
    if (destination && (port.isEmpty() || GbkByteLength(address) < 8))
        std::abort();
    (void)AtoiSaturating(port);
    return 0;
}
