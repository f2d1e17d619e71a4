#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

// Closes every message box as soon as it is up, from a timer that the box's own event loop runs, and keeps
// its text: the messages and prompts the operator would have read.
class MessageRecorder final
{
public:
    MessageRecorder()
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                messages << box->text();
                if (box->standardButtons() != QMessageBox::Ok)
                    messages << QStringLiteral("(not OK only)");
                box->button(QMessageBox::Ok)->click();
            }
        });
        m_timer.start();
    }
    Q_DISABLE_COPY_MOVE(MessageRecorder)

    QStringList messages;

private:
    QTimer m_timer;
};
