#pragma once

#include <QDialog>

// The About box: icon, product line, a third line and a default OK button.
class CAboutDlg final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CAboutDlg)

public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    ~CAboutDlg() override;

protected:
    void changeEvent(QEvent* event) override;

private:
    void Retranslate();
};

// The text of the console's About menu entry; empty would mean no entry.
QString AboutMenuText();
// The application icon, 32 x 32.
QIcon ApplicationIcon();
