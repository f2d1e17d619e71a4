#include "ui/host_center_dlg.h"

#include "engine/control_ids.h"
#include "engine/event_catalogue.h"
#include "ui/about_dlg.h"
#include "ui/frame_list_view.h"

#include <QComboBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include <utility>

namespace {

// A private-range address, long enough to pass the destination check; tests replace it before sending.
constexpr auto kDefaultDestination = "192.168.1.100";
constexpr auto kDefaultDestinationPort = "8015";
constexpr auto kDefaultSourcePort = "7015";

CHostCenterDlg::MessageHook& Hook()
{
    static CHostCenterDlg::MessageHook hook;
    return hook;
}

QWidget* CreateControl(const ControlTemplate& control, QWidget* parent)
{
    const QString caption = QString::fromUtf8(control.caption);
    switch (control.kind) {
    case ControlKind::PushButton: {
        auto* button = new QPushButton(caption, parent);
        // The template has no default push button; Enter on a button is the dialog's business.
        button->setAutoDefault(false);
        button->setDefault(false);
        return button;
    }
    case ControlKind::NumberEdit: {
        auto* edit = new QLineEdit(parent);
        // Digits only; the empty text stays possible and the exchange refuses it.
        edit->setValidator(
            new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
        return edit;
    }
    case ControlKind::TextEdit:
        return new QLineEdit(parent);
    case ControlKind::LogList:
        return new FrameListView(parent);
    case ControlKind::EventList: {
        auto* combo = new QComboBox(parent);
        combo->setEditable(false);
        return combo;
    }
    case ControlKind::Label: {
        auto* label = new QLabel(caption, parent);
        label->setTextFormat(Qt::PlainText);
        return label;
    }
    case ControlKind::GroupBox:
        return new QGroupBox(caption, parent);
    }
    return nullptr;
}

// The window system keeps the low four bits of a system command for itself.
bool IsAboutCommand(unsigned command)
{
    return (command & 0xFFF0u) == IDM_ABOUTBOX;
}

bool TakesFocus(ControlKind kind)
{
    return kind != ControlKind::Label && kind != ControlKind::GroupBox;
}

} // namespace

CHostCenterDlg::CHostCenterDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      CHostCenterEngine(static_cast<IConsole&>(*this)), m_hIcon(ApplicationIcon())
{
    setObjectName(QStringLiteral("IDD_MAIN"));
    setWindowTitle(QString::fromUtf8("主机/中心模拟器"));
    setFont(DialogFont());
    m_sendBuf.fill(0);
    m_recvBuf.fill(0);
    m_autoSendTimer.setParent(this);
    m_autoSendTimer.setObjectName(QStringLiteral("autoSendTimer"));
    m_autoSendTimer.setTimerType(Qt::PreciseTimer);
    CreateControls();
    ConnectMessageTable();
    // The widgets exist from here on, so the window opens now rather than when it is first shown.
    OnInitDialog();
}

CHostCenterDlg::~CHostCenterDlg()
{
    // The socket goes before the registry and before any widget.
    m_endpoint.Close();
}

void CHostCenterDlg::SetMessageHook(MessageHook hook)
{
    Hook() = std::move(hook);
}

void CHostCenterDlg::accept()
{
    if (UpdateData(true))
        QDialog::accept();
}

void CHostCenterDlg::keyPressEvent(QKeyEvent* event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const auto modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (enter && modifiers == Qt::NoModifier) {
        // Enter presses the focused push button; anywhere else it is the OK command.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            if (button->isEnabled())
                button->click();
        } else {
            accept();
        }
        return;
    }
    QDialog::keyPressEvent(event);
}

void CHostCenterDlg::contextMenuEvent(QContextMenuEvent* event)
{
    // Window managers keep the title bar's menu to themselves, so the dialog offers its own.
    m_systemMenu->popup(event->globalPos());
}

void CHostCenterDlg::CreateControls()
{
    const DialogBaseUnits base = BaseUnitsOf(font());
    QWidget* previous = nullptr;
    for (const ControlTemplate& control : MainTemplateControls()) {
        QWidget* widget = CreateControl(control, this);
        widget->setObjectName(QString::fromLatin1(control.name));
        widget->setGeometry(DialogUnitsToPixels(control.rect, base));
        if (control.id != IDC_STATIC)
            m_controls.emplace(control.id, widget);
        if (control.kind == ControlKind::GroupBox)
            widget->lower(); // a frame must not cover the controls it frames
        if (TakesFocus(control.kind)) {
            if (previous != nullptr)
                QWidget::setTabOrder(previous, widget);
            previous = widget;
        }
    }
    m_sentList = qobject_cast<FrameListView*>(m_controls.at(IDC_SENT_LIST));
    m_recvList = qobject_cast<FrameListView*>(m_controls.at(IDC_RECV_LIST));
    m_eventType = qobject_cast<QComboBox*>(m_controls.at(IDC_EVENT_TYPE));

    // The template's height covers the dropped-down list; the closed box is as tall as an edit.
    const QRect combo = DialogUnitsToPixels(QRect(160, 230, 69, 14), base);
    m_eventType->setGeometry(combo);
    const int dropHeight = DialogUnitsToPixels(QSize(69, 192 - 14), base).height();
    m_eventType->setMaxVisibleItems(
        std::max(1, dropHeight / std::max(1, m_eventType->fontMetrics().height())));

    setFixedSize(DialogUnitsToPixels(MAIN_TEMPLATE_SIZE, base));
}

void CHostCenterDlg::OnInitDialog()
{
    UpdateData(false);
    SetUpDecorations();
    InitControls();
    UpdateData(false);
    // No control takes the focus: the dialog keeps it, so Enter is the OK command.
    setFocus(Qt::OtherFocusReason);
}

void CHostCenterDlg::SetUpDecorations()
{
    m_systemMenu = new QMenu(this);
    m_systemMenu->setObjectName(QStringLiteral("systemMenu"));
    m_systemMenu->addAction(QString::fromUtf8("最小化(&N)"))->setData(SC_MINIMIZE);
    m_systemMenu->addSeparator();
    m_systemMenu->addAction(QString::fromUtf8("关闭(&C)"))->setData(SC_CLOSE);
    const QString about = AboutMenuText();
    if (!about.isEmpty()) {
        m_systemMenu->addSeparator();
        m_systemMenu->addAction(about)->setData(IDM_ABOUTBOX);
    }
    connect(m_systemMenu, &QMenu::triggered, this, &CHostCenterDlg::OnSystemMenuTriggered);
    setWindowIcon(m_hIcon);
}

void CHostCenterDlg::InitControls()
{
    m_commNo = 0;
    m_deviceNo = 1;
    m_zoneNo = 1;
    for (int i = 0; i < EVENT_TYPE_COUNT; ++i)
        m_eventType->addItem(EventTypeName(i));
    m_eventType->setCurrentIndex(0);
    qobject_cast<QLineEdit*>(m_controls.at(IDC_DEST_IP))->setText(QString::fromLatin1(kDefaultDestination));
    qobject_cast<QLineEdit*>(m_controls.at(IDC_DEST_PORT))
        ->setText(QString::fromLatin1(kDefaultDestinationPort));
    qobject_cast<QLineEdit*>(m_controls.at(IDC_SOURCE_PORT))
        ->setText(QString::fromLatin1(kDefaultSourcePort));
    EnableSendButtons(false);
    EnableControl(IDC_STOP, false);
    EnableControl(IDC_AUTO_STOP, false);
}

void CHostCenterDlg::OnSysCommand(unsigned command, std::intptr_t /*lParam*/)
{
    if (IsAboutCommand(command)) {
        CAboutDlg about(this);
        about.exec();
        return;
    }
    switch (command & 0xFFF0u) {
    case SC_CLOSE:
        close();
        break;
    case SC_MINIMIZE:
        showMinimized();
        break;
    default:
        break;
    }
}

bool CHostCenterDlg::PullFormValues(int& commNo, int& deviceNo, int& zoneNo, QString& commandText)
{
    return DoDataExchange(true, commNo, deviceNo, zoneNo, commandText);
}

std::optional<int> CHostCenterDlg::EventSelection() const
{
    const int row = m_eventType->currentIndex();
    return row >= 0 ? std::optional<int>(row) : std::nullopt;
}

QString CHostCenterDlg::ControlText(int controlId) const
{
    const auto found = m_controls.find(controlId);
    if (found == m_controls.end())
        return {};
    // The handlers read the destination and source port fields only.
    if (const auto* edit = qobject_cast<const QLineEdit*>(found->second))
        return edit->text();
    return {};
}

void CHostCenterDlg::AppendLine(int listId, std::string_view line)
{
    if (FrameListView* list = List(listId))
        list->AppendLine(line);
}

void CHostCenterDlg::ResetList(int listId)
{
    if (FrameListView* list = List(listId))
        list->Clear();
}

void CHostCenterDlg::ShowMessage(const QString& text)
{
    ShowModal(this, text);
}

void CHostCenterDlg::EnableControl(int controlId, bool enable)
{
    const auto found = m_controls.find(controlId);
    if (found != m_controls.end())
        found->second->setEnabled(enable);
}

void CHostCenterDlg::SetTimer(int timerId, int periodMs)
{
    // The console runs one timer.
    if (timerId == AUTO_SEND_TIMER_ID)
        m_autoSendTimer.start(periodMs);
}

void CHostCenterDlg::KillTimer(int timerId)
{
    if (timerId == AUTO_SEND_TIMER_ID)
        m_autoSendTimer.stop();
}

FrameListView* CHostCenterDlg::List(int listId) const
{
    if (listId == IDC_SENT_LIST)
        return m_sentList;
    if (listId == IDC_RECV_LIST)
        return m_recvList;
    return nullptr;
}

void CHostCenterDlg::ShowModal(QWidget* parent, const QString& text)
{
    if (Hook()) {
        Hook()(text);
        return;
    }
    // exec() keeps the thread's events flowing: timer ticks and datagrams are handled meanwhile.
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Veltrano"), text, QMessageBox::Ok, parent);
    box.exec();
}
