#include "ui/frame_tooltip.h"

#include "protocol/acknowledgement.h"
#include "protocol/frame_decoder.h"
#include "ui/core_texts.h"

#include <QCoreApplication>
#include <QDateTime>

#include <cstring>
#include <optional>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

namespace {

std::int64_t FloorDiv(std::int64_t value, std::int64_t divisor)
{
    return value >= 0 ? value / divisor : (value - divisor + 1) / divisor;
}

QString LocalTime(std::int64_t timeUs, const QString& format)
{
    const std::int64_t ms = FloorDiv(timeUs, 1000);
    const std::int64_t us = timeUs - ms * 1000;
    // Milliseconds from Qt, the last three digits ours.
    return QDateTime::fromMSecsSinceEpoch(ms).toString(format) +
           u"%1"_s.arg(static_cast<qlonglong>(us), 3, 10, QChar(u'0'));
}

QString TimeOfDay(std::int64_t timeUs)
{
    return LocalTime(timeUs, u"HH:mm:ss.zzz"_s);
}

QString Peer(const Endpoint& peer)
{
    return QString::fromLatin1(peer.ToString());
}

QString Reason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The pairing line: `label` and what the partner line says, or `none` when there is no partner.
QString PairingLine(const FrameListStore& list, Direction direction, std::size_t row,
                    const FrameListStore& partners)
{
    const LoggedFrame frame = list.At(row);
    const bool ack = IsAcknowledgement(frame.bytes);
    const bool sent = direction == Direction::Out;
    if (sent && !ack && frame.sendError != 0)
        return {}; // never left: nothing can answer it

    const QString label = ack ? (sent ? QCoreApplication::translate("FrameToolTip", "所应答的帧")
                                      : QCoreApplication::translate("FrameToolTip", "所确认的帧"))
                              : (sent ? QCoreApplication::translate("FrameToolTip", "确认")
                                      : QCoreApplication::translate("FrameToolTip", "应答"));
    const std::optional<std::uint64_t> serial = list.Partner(row);
    if (!serial) {
        const QString none = ack ? QCoreApplication::translate("FrameToolTip", "未找到")
                                 : (sent ? QCoreApplication::translate("FrameToolTip", "尚无确认")
                                         : QCoreApplication::translate("FrameToolTip", "未回确认"));
        return label + QCoreApplication::translate("FrameToolTip", "：") + none;
    }
    const std::optional<std::size_t> partnerRow = partners.RowOf(*serial);
    if (!partnerRow)
        return label + QCoreApplication::translate("FrameToolTip", "：该行已清除");

    const LoggedFrame partner = partners.At(*partnerRow);
    // A sent frame and the acknowledgement that came back: the round trip; a received frame and the
    // acknowledgement the centre sent: how long answering took.
    const bool roundTrip = sent != ack;
    // The acknowledgement, appended second, holds the time between the two from the monotonic clock.
    const std::int64_t elapsed = ack ? list.Elapsed(row) : partners.Elapsed(*partnerRow);
    const QString when = (sent ? QCoreApplication::translate("FrameToolTip", "收到于 ")
                               : QCoreApplication::translate("FrameToolTip", "发出于 ")) +
                         TimeOfDay(partner.timeUs);
    QString text = label + QCoreApplication::translate("FrameToolTip", "：") + when +
                   (roundTrip ? QCoreApplication::translate("FrameToolTip", "，往返 ")
                              : QCoreApplication::translate("FrameToolTip", "，应答用时 ")) +
                   FormatDuration(elapsed);
    if (partner.sendError != 0)
        text += QCoreApplication::translate("FrameToolTip", "（确认发送失败：%1）")
                    .arg(Reason(partner.sendError));
    return text;
}

} // namespace

QString FormatLocalTime(std::int64_t timeUs)
{
    return LocalTime(timeUs, u"yyyy-MM-dd HH:mm:ss.zzz"_s);
}

QString FormatDuration(std::int64_t us)
{
    if (us > -1000 && us < 1000)
        return u"%1 µs"_s.arg(static_cast<qlonglong>(us));
    if (us > -1'000'000 && us < 1'000'000)
        return u"%1 ms"_s.arg(static_cast<double>(us) / 1e3, 0, 'f', 3);
    return u"%1 s"_s.arg(static_cast<double>(us) / 1e6, 0, 'f', 3);
}

QString FrameToolTip(const FrameListStore& list, Direction direction, std::size_t row,
                     const FrameListStore& partners)
{
    if (row >= list.Count())
        return {};
    const LoggedFrame frame = list.At(row);
    QStringList lines;
    lines << QCoreApplication::translate("FrameToolTip", "时间：") + FormatLocalTime(frame.timeUs);
    lines << (direction == Direction::Out ? QCoreApplication::translate("FrameToolTip", "发往：")
                                          : QCoreApplication::translate("FrameToolTip", "来自：")) +
                 Peer(frame.peer);
    if (frame.sendError != 0)
        lines << QCoreApplication::translate("FrameToolTip", "发送失败：") + Reason(frame.sendError);
    lines << TranslatedDescription(DecodeFrame(frame.bytes));
    const QString pairing = PairingLine(list, direction, row, partners);
    if (!pairing.isEmpty())
        lines << pairing;
    return lines.join(u'\n');
}
