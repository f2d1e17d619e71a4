#include "ui/list_saver.h"

#include "link/frame_record.h"
#include "net/local_address.h"
#include "protocol/pcap_writer.h"

#include <QElapsedTimer>
#include <QSaveFile>

#include <utility>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

namespace {

// Well inside one frame of the window, whatever else its event loop has to do.
constexpr qint64 SLICE_MS = 5;
constexpr std::size_t ROWS_BETWEEN_CLOCK_CHECKS = 256;
constexpr std::size_t CHUNK_SIZE = 256 * 1024;
// How far formatting may run ahead of the disk: a few MiB.
constexpr std::size_t QUEUED_CHUNKS = 16;
// While the writer is that far behind, slices come less often rather than spin.
constexpr int BACK_OFF_MS = 10;

QString FailureMessage(const QString& path, const QSaveFile& file)
{
    return ListSaver::tr("无法保存“%1”：%2").arg(path, file.errorString());
}

} // namespace

ListSaver::ListSaver(const FrameListStore& store, QObject* parent) : QObject(parent), m_store(&store)
{
    connect(&m_sliceTimer, &QTimer::timeout, this, &ListSaver::OnSlice);
}

ListSaver::ListSaver(const TextLines& lines, QObject* parent) : QObject(parent), m_lines(&lines)
{
    connect(&m_sliceTimer, &QTimer::timeout, this, &ListSaver::OnSlice);
}

ListSaver::~ListSaver()
{
    StopWriter();
}

std::optional<QString> ListSaver::Start(SaveFormat format, const QString& path, Direction direction,
                                        std::vector<LocalPortSince> localPorts)
{
    if (Running())
        return tr("正在保存另一个文件，请稍后再试。");
    if (m_store == nullptr)
        format = SaveFormat::Text; // lines that are not frames make no capture
    auto file = std::make_unique<QSaveFile>(path);
    if (!file->open(QIODevice::WriteOnly))
        return FailureMessage(path, *file);
    m_file = std::move(file);
    m_path = path;
    m_format = format;
    m_direction = direction;
    m_localPorts = std::move(localPorts);
    m_portIndex = 0;
    m_firstSerial = FirstSerial();
    m_next = 0;
    m_end = m_store != nullptr ? m_store->Count() : m_lines->LineCount();
    m_buffer.clear();
    if (format == SaveFormat::Pcap)
        AppendPcapFileHeader(m_buffer);
    m_lastChunk = false;
    m_cancelled = false;
    m_writer = std::thread(&ListSaver::WriteAll, this, ++m_run);
    m_sliceTimer.start(0);
    return std::nullopt;
}

std::optional<QString> ListSaver::Start(const QString& path)
{
    return Start(SaveFormat::Text, path, Direction::In, {});
}

std::uint64_t ListSaver::FirstSerial() const
{
    return m_store != nullptr ? m_store->FirstSerial() : m_lines->FirstLineSerial();
}

void ListSaver::OnSlice()
{
    if (FirstSerial() != m_firstSerial) {
        StopWriter();
        Finish(tr("保存“%1”时列表已被清除，保存已放弃。").arg(m_path));
        return;
    }
    QElapsedTimer clock;
    clock.start();
    while (m_next < m_end) {
        if (m_buffer.size() >= CHUNK_SIZE && !Push(false)) {
            m_sliceTimer.setInterval(BACK_OFF_MS);
            return;
        }
        AppendRow(m_next++);
        if (m_next % ROWS_BETWEEN_CLOCK_CHECKS == 0 && clock.elapsed() >= SLICE_MS) {
            m_sliceTimer.setInterval(0);
            return;
        }
    }
    // Every line is formatted: what follows no longer reads the store, so a Clear cannot touch it.
    if (Push(true))
        m_sliceTimer.stop();
    else
        m_sliceTimer.setInterval(BACK_OFF_MS);
}

void ListSaver::AppendRow(std::size_t row)
{
    if (m_store == nullptr) {
        m_lines->AppendLine(m_buffer, row);
        return;
    }
    const LoggedFrame frame = m_store->At(row);
    if (m_format == SaveFormat::Text) {
        AppendTextLine(m_buffer,
                       MakeRecord(frame.timeUs, m_direction, frame.peer, {}, frame.bytes, frame.sendError));
        return;
    }
    if (frame.sendError != 0)
        return;
    const Endpoint local{LocalAddress(frame.peer.address), LocalPort(m_firstSerial + row)};
    AppendPcapRecord(m_buffer,
                     CapturedOf(MakeRecord(frame.timeUs, m_direction, frame.peer, local, frame.bytes)),
                     ++m_identification);
}

bool ListSaver::Push(bool last)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_chunks.size() >= QUEUED_CHUNKS)
            return false;
        m_chunks.push_back(std::exchange(m_buffer, {}));
        m_lastChunk = last;
    }
    m_wake.notify_one();
    return true;
}

// The writer thread: the queued chunks in order, then the commit; stops at the first failure.
void ListSaver::WriteAll(std::uint64_t run)
{
    QString message;
    for (;;) {
        std::unique_lock lock(m_mutex);
        m_wake.wait(lock, [this] { return m_cancelled || !m_chunks.empty(); });
        if (m_cancelled)
            return;
        const std::string chunk = std::move(m_chunks.front());
        m_chunks.pop_front();
        const bool last = m_lastChunk && m_chunks.empty();
        lock.unlock();
        const auto size = static_cast<qint64>(chunk.size());
        if (m_file->write(chunk.data(), size) != size || (last && !m_file->commit())) {
            message = FailureMessage(m_path, *m_file);
            break;
        }
        if (last)
            break;
    }
    QMetaObject::invokeMethod(
        this, [this, run, message] { OnWriterDone(run, message); }, Qt::QueuedConnection);
}

void ListSaver::OnWriterDone(std::uint64_t run, const QString& message)
{
    // A save abandoned meanwhile has been finished already.
    if (run != m_run || !Running())
        return;
    StopWriter();
    Finish(message);
}

void ListSaver::StopWriter()
{
    {
        const std::lock_guard lock(m_mutex);
        m_cancelled = true;
        m_chunks.clear();
    }
    m_wake.notify_one();
    if (m_writer.joinable())
        m_writer.join();
}

void ListSaver::Finish(const QString& message)
{
    m_sliceTimer.stop();
    // Uncommitted, the temporary file goes with it and the name keeps what it had.
    m_file.reset();
    m_buffer = {};
    m_localPorts = {};
    m_localAddresses = {};
    Q_EMIT Finished(message);
}

std::uint32_t ListSaver::LocalAddress(std::uint32_t peer)
{
    const auto found = m_localAddresses.find(peer);
    if (found != m_localAddresses.end())
        return found->second;
    const std::uint32_t local = LocalAddressToward(peer).value_or(0);
    m_localAddresses.emplace(peer, local);
    return local;
}

std::uint16_t ListSaver::LocalPort(std::uint64_t serial)
{
    // Rows go in serial order, so the walk through the port changes only goes forward.
    while (m_portIndex + 1 < m_localPorts.size() && m_localPorts[m_portIndex + 1].serial <= serial)
        ++m_portIndex;
    return m_portIndex < m_localPorts.size() ? m_localPorts[m_portIndex].port : 0;
}
