#pragma once

#include "protocol/log_line.h"
#include "ui/frame_list_store.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

class QSaveFile;

enum class SaveFormat : std::uint8_t
{
    Text, // the frame record's text line, one per frame
    Pcap, // link type RAW, the real addresses and ports
};

// The window's bound port from the line of `serial` on, host byte order.
struct LocalPortSince
{
    std::uint64_t serial{0};
    std::uint16_t port{0};
};

// Lines of a list that holds no frames (the panel view's event log): saved as text only.
class TextLines
{
public:
    virtual std::size_t LineCount() const = 0;
    // Changes when the lines are cleared: a save under way is then abandoned.
    virtual std::uint64_t FirstLineSerial() const = 0;
    // The row's line with its newline.
    virtual void AppendLine(std::string& out, std::size_t row) const = 0;

protected:
    TextLines() = default;
    ~TextLines() = default;
    TextLines(const TextLines&) = default;
    TextLines& operator=(const TextLines&) = default;
};

// Writes a list to a file without holding the window up, even at a million lines. The lines are formatted
// on the window's thread in slices of a few milliseconds between its events, since the store is only ever
// touched there; a writer thread takes the formatted chunks to the file and commits it, so a slow disk or
// the final sync costs the window nothing.
//
// It takes the lines the list holds when it starts; lines appended later are left out, and a Clear before
// every line is formatted abandons the save. The file appears under its name only once it is complete: an
// error leaves nothing there (or what was there before).
class ListSaver final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ListSaver)

public:
    explicit ListSaver(const FrameListStore& store, QObject* parent = nullptr);
    explicit ListSaver(const TextLines& lines, QObject* parent = nullptr);
    ~ListSaver() override;

    // The message to show when the file cannot be created or a save already runs; nothing starts then.
    // Sent frames whose send failed never reached the wire and are left out of a capture.
    std::optional<QString> Start(SaveFormat format, const QString& path, veltrano::Direction direction,
                                 std::vector<LocalPortSince> localPorts);
    // The same for lines that are not frames, as text.
    std::optional<QString> Start(const QString& path);
    bool Running() const { return m_file != nullptr; }

Q_SIGNALS:
    // Once for every started save: an empty message when the file is complete under its name.
    void Finished(const QString& message);

private:
    void OnSlice();
    void AppendRow(std::size_t row);
    // Hands the formatted text to the writer; false while the writer is that far behind.
    bool Push(bool last);
    void WriteAll(std::uint64_t run);
    void OnWriterDone(std::uint64_t run, const QString& message);
    void StopWriter();
    void Finish(const QString& message);
    std::uint32_t LocalAddress(std::uint32_t peer);
    std::uint16_t LocalPort(std::uint64_t serial);
    std::uint64_t FirstSerial() const;

    // One of the two.
    const FrameListStore* m_store{nullptr};
    const TextLines* m_lines{nullptr};
    QTimer m_sliceTimer;
    std::unique_ptr<QSaveFile> m_file; // written by the writer thread while it runs
    QString m_path;
    SaveFormat m_format{SaveFormat::Text};
    veltrano::Direction m_direction{veltrano::Direction::In};
    std::vector<LocalPortSince> m_localPorts;
    std::size_t m_portIndex{0};
    std::unordered_map<std::uint32_t, std::uint32_t> m_localAddresses; // peer -> local, network order
    std::uint64_t m_firstSerial{0};
    std::size_t m_next{0};
    std::size_t m_end{0};
    std::uint16_t m_identification{0};
    std::string m_buffer;
    std::uint64_t m_run{0}; // tells a writer's late report from the current save's

    // Shared with the writer thread.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::string> m_chunks;
    bool m_lastChunk{false};
    bool m_cancelled{false};
    std::thread m_writer;
};
