#pragma once

#include "engine/console.h"
#include "engine/host_center_engine.h"
#include "ui/list_pairing.h"

#include <QDialog>
#include <QIcon>

class FrameListView;
class QAction;
class PanelView;
class QComboBox;
class QLineEdit;
class QMenu;
class QPushButton;

// The console window: the template's controls, the data exchange of the form values, and the console
// operations that the simulator behind it uses. It opens when it is constructed.
class CHostCenterDlg final : public QDialog, private IConsole
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CHostCenterDlg)

public:
    explicit CHostCenterDlg(QWidget* parent = nullptr);
    ~CHostCenterDlg() override;

    // The data exchange over the four form values: into the controls (false) or from them with the checks
    // (true), which stops at the first failing field after its prompt and then yields false.
    bool UpdateData(bool saveAndValidate = true);
    const FormValues& Form() const { return m_form; }

    // The OK command: closes only when the form values pass the exchange.
    void accept() override;

    // The window menu: Minimise, Close, the languages and the About entry.
    QMenu* SystemMenu() const { return m_systemMenu; }
    const CHostCenterEngine& Engine() const { return m_engine; }

    // Opens the panel view, a window of its own beside the console; made on first use.
    void OpenPanelView();
    PanelView* PanelViewWindow() const { return m_panelView; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // IConsole.
    FormExchange PullFormValues() override;
    std::optional<int> EventSelection() const override;
    QString DestinationAddressText() const override;
    QString DestinationPortText() const override;
    QString SourcePortText() const override;
    void AppendFrame(LogList list, const LoggedFrame& frame) override;
    void ClearList(LogList list) override;
    void ShowMessage(const QString& text) override;
    void ApplyState(ConsoleState state) override;

    // Opening.
    void CreateControls();
    void ConnectHandlers();
    void SetUpDecorations();
    void InitControls();
    // Every text in the window's language, and the names and descriptions assistive technology reads.
    void Retranslate();
    void NameForAssistiveTechnology();

    bool ExchangeInt(bool saveAndValidate, QLineEdit* edit, int& value, int minValue, int maxValue);
    bool ExchangeText(bool saveAndValidate, QLineEdit* edit, QString& value, int maxChars);
    void FailOn(QLineEdit* edit, const QString& prompt);
    void OnAbout();
    FrameListView* List(LogList list) const;

    FormValues m_form;
    QIcon m_hIcon;
    ListPairing m_pairing;

    // The template's controls: children of the dialog, deleted after the engine and its socket.
    QLineEdit* m_destIp{nullptr};
    QLineEdit* m_destPort{nullptr};
    QLineEdit* m_sourcePort{nullptr};
    QLineEdit* m_commNo{nullptr};
    QLineEdit* m_deviceNo{nullptr};
    QLineEdit* m_zoneNo{nullptr};
    QLineEdit* m_commandText{nullptr};
    QComboBox* m_eventType{nullptr};
    FrameListView* m_sentList{nullptr};
    FrameListView* m_recvList{nullptr};
    QPushButton* m_start{nullptr};
    QPushButton* m_stop{nullptr};
    QPushButton* m_sendEvent{nullptr};
    QPushButton* m_autoSend{nullptr};
    QPushButton* m_autoStop{nullptr};
    QPushButton* m_clearRecv{nullptr};
    QPushButton* m_clearSent{nullptr};
    QPushButton* m_sendCustom{nullptr};
    QPushButton* m_debug{nullptr};
    QMenu* m_systemMenu{nullptr};
    QAction* m_minimiseAction{nullptr};
    QAction* m_closeAction{nullptr};
    QAction* m_panelViewAction{nullptr};
    QAction* m_aboutAction{nullptr};
    PanelView* m_panelView{nullptr}; // a child window: goes with the dialog, before the engine

    CHostCenterEngine m_engine{*this};
};
