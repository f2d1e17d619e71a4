#pragma once

#include "engine/console.h"
#include "engine/host_center_engine.h"
#include "ui/dialog_template.h"

#include <QDialog>
#include <QIcon>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string_view>

class FrameListView;
class QComboBox;
class QLineEdit;
class QMenu;
class QAction;

// The console window: the template's controls, the form values' data exchange and the console operations
// that the simulator's handlers (its engine base) use. Opening runs when it is constructed.
class CHostCenterDlg final : public QDialog, private IConsole, public CHostCenterEngine
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CHostCenterDlg)

public:
    explicit CHostCenterDlg(QWidget* parent = nullptr);
    ~CHostCenterDlg() override;

    // The data exchange over the four form values: into the controls (false) or from them with the
    // checks (true). Yields false at the first check that fails, after its prompt.
    bool UpdateData(bool saveAndValidate = true);

    // Every modal message and prompt of the console goes to this hook instead of a box while it is set.
    using MessageHook = std::function<void(const QString&)>;
    static void SetMessageHook(MessageHook hook);

    // The OK command: closes only when the form values pass the exchange.
    void accept() override;

    QMenu* SystemMenu() const { return m_systemMenu; }

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // IConsole.
    bool PullFormValues(int& commNo, int& deviceNo, int& zoneNo, QString& commandText) override;
    std::optional<int> EventSelection() const override;
    QString ControlText(int controlId) const override;
    void AppendLine(int listId, std::string_view line) override;
    void ResetList(int listId) override;
    void ShowMessage(const QString& text) override;
    void EnableControl(int controlId, bool enable) override;
    void SetTimer(int timerId, int periodMs) override;
    void KillTimer(int timerId) override;
    QObject* Window() override { return this; }

    // Opening.
    void CreateControls();
    void OnInitDialog();
    void SetUpDecorations();
    void InitControls();

    bool DoDataExchange(bool saveAndValidate, int& commNo, int& deviceNo, int& zoneNo, QString& commandText);
    bool ExchangeInt(bool saveAndValidate, QLineEdit* edit, int& value, int minValue, int maxValue);
    bool ExchangeText(bool saveAndValidate, QLineEdit* edit, QString& value, int maxChars);
    void FailOn(QLineEdit* edit, const QString& prompt);

    // The message table (message_table.cpp).
    void ConnectMessageTable();
    // A button's click dispatched to an engine handler.
    template <void (CHostCenterEngine::*handler)()>
    void OnCommand();
    void OnAutoSendTimer();
    void OnSystemMenuTriggered(QAction* action);
    void OnSysCommand(unsigned command, std::intptr_t lParam);

    FrameListView* List(int listId) const;
    static void ShowModal(QWidget* parent, const QString& text);

    // The widgets are the dialog's children: it deletes them after the engine's socket and registry.
    FrameListView* m_sentList{nullptr};
    FrameListView* m_recvList{nullptr};
    QComboBox* m_eventType{nullptr};
    std::map<int, QWidget*> m_controls;
    QIcon m_hIcon;
    QMenu* m_systemMenu{nullptr};
    QTimer m_autoSendTimer; // a named child, found by tests; as a member it is never deleted twice
};
