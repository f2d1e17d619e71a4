#include "ui/host_center_dlg.h"

#include "sim/event_catalogue.h"
#include "ui/about_dlg.h"
#include "ui/core_texts.h"
#include "ui/dialog_template.h"
#include "ui/frame_list_view.h"
#include "ui/panel_view.h"
#include "ui/qt_translations.h"

#include <QAbstractItemView>
#include <QActionGroup>
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

#include <array>
#include <map>
#include <string_view>
#include <type_traits>
#include <utility>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

namespace {

// A private-range address, long enough to pass the destination check; tests replace it before sending.
constexpr auto DEFAULT_DESTINATION = "192.168.1.100";
constexpr auto DEFAULT_DESTINATION_PORT = "8015";
constexpr auto DEFAULT_SOURCE_PORT = "7015";

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
        edit->setValidator(new QRegularExpressionValidator(QRegularExpression(u"[0-9]*"_s), edit));
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

} // namespace

CHostCenterDlg::CHostCenterDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_hIcon(ApplicationIcon())
{
    setObjectName(u"IDD_MAIN"_s);
    setFont(DialogFont());
    CreateControls();
    ConnectHandlers();
    // The widgets exist from here on, so the window opens now rather than when it is first shown.
    UpdateData(false);
    SetUpDecorations();
    InitControls();
    UpdateData(false);
    Retranslate();
    // No control takes the focus: the dialog keeps it, so Enter is the OK command.
    setFocus(Qt::OtherFocusReason);
}

CHostCenterDlg::~CHostCenterDlg()
{
    // The panel view reads the engine's book: it goes while the engine is still whole.
    delete m_panelView;
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

void CHostCenterDlg::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        Retranslate();
}

void CHostCenterDlg::CreateControls()
{
    const DialogBaseUnits base = BaseUnitsOf(font());
    std::map<std::string_view, QWidget*> byName;
    QWidget* previous = nullptr;
    for (const ControlTemplate& control : MainTemplateControls()) {
        QWidget* widget = CreateControl(control, this);
        widget->setObjectName(QString::fromLatin1(control.name));
        widget->setGeometry(DialogUnitsToPixels(control.rect, base));
        byName.emplace(control.name, widget);
        if (control.kind == ControlKind::GroupBox)
            widget->lower(); // a frame must not cover the controls it frames
        if (!IsStatic(control.kind)) {
            if (previous != nullptr)
                QWidget::setTabOrder(previous, widget);
            previous = widget;
        }
    }
    const auto bind = [&byName](auto*& member, std::string_view name) {
        member = qobject_cast<std::remove_reference_t<decltype(member)>>(byName.at(name));
        Q_ASSERT(member != nullptr);
    };
    bind(m_destIp, "IDC_DEST_IP");
    bind(m_destPort, "IDC_DEST_PORT");
    bind(m_sourcePort, "IDC_SOURCE_PORT");
    bind(m_commNo, "IDC_COMM_NO");
    bind(m_deviceNo, "IDC_DEVICE_NO");
    bind(m_zoneNo, "IDC_ZONE_NO");
    bind(m_commandText, "IDC_CUSTOM_TEXT");
    bind(m_eventType, "IDC_EVENT_TYPE");
    bind(m_sentList, "IDC_SENT_LIST");
    bind(m_recvList, "IDC_RECV_LIST");
    bind(m_start, "IDC_START");
    bind(m_stop, "IDC_STOP");
    bind(m_sendEvent, "IDC_SEND_EVENT");
    bind(m_autoSend, "IDC_AUTO_SEND");
    bind(m_autoStop, "IDC_AUTO_STOP");
    bind(m_clearRecv, "IDC_CLEAR_RECV");
    bind(m_clearSent, "IDC_CLEAR_SENT");
    bind(m_sendCustom, "IDC_SEND_CUSTOM");
    bind(m_debug, "IDC_DEBUG");
    m_sentList->SetDirection(Direction::Out);
    m_sentList->SetPartnerList(m_recvList);
    m_recvList->SetDirection(Direction::In);
    m_recvList->SetPartnerList(m_sentList);
    // Each field, the event list and each log list answers to its label, as assistive technology reads it.
    const std::pair<const char*, QWidget*> buddies[] = {
        {"sourcePortLabel", m_sourcePort}, {"destIpLabel", m_destIp},     {"destPortLabel", m_destPort},
        {"commNoLabel", m_commNo},         {"deviceNoLabel", m_deviceNo}, {"zoneNoLabel", m_zoneNo},
        {"eventTypeLabel", m_eventType},   {"sentListLabel", m_sentList}, {"recvListLabel", m_recvList},
    };
    for (const auto& [label, buddy] : buddies)
        qobject_cast<QLabel*>(byName.at(label))->setBuddy(buddy);

    // The template's height covers the dropped-down list; the closed box is as tall as an edit.
    m_eventType->setGeometry(DialogUnitsToPixels(QRect(160, 230, 69, 14), base));
    const int dropHeight = DialogUnitsToPixels(QSize(69, 192 - 14), base).height();
    m_eventType->setMaxVisibleItems(
        std::max(1, dropHeight / std::max(1, m_eventType->fontMetrics().height())));

    setFixedSize(DialogUnitsToPixels(MAIN_TEMPLATE_SIZE, base));
}

void CHostCenterDlg::ConnectHandlers()
{
    connect(m_start, &QPushButton::clicked, &m_engine, &CHostCenterEngine::OnStart);
    connect(m_stop, &QPushButton::clicked, &m_engine, &CHostCenterEngine::OnStop);
    connect(m_sendEvent, &QPushButton::clicked, &m_engine, &CHostCenterEngine::OnSendEvent);
    connect(m_autoSend, &QPushButton::clicked, &m_engine, &CHostCenterEngine::OnAutoSendStart);
    connect(m_autoStop, &QPushButton::clicked, &m_engine, &CHostCenterEngine::OnAutoSendStop);
    connect(m_clearRecv, &QPushButton::clicked, &m_engine, &CHostCenterEngine::OnClearReceived);
    connect(m_clearSent, &QPushButton::clicked, &m_engine, &CHostCenterEngine::OnClearSent);
    connect(m_sendCustom, &QPushButton::clicked, &m_engine, &CHostCenterEngine::OnSendCustom);
    connect(m_debug, &QPushButton::clicked, &m_engine, &CHostCenterEngine::OnSendDebug);
    connect(m_recvList, &FrameListView::PanelViewRequested, this, &CHostCenterDlg::OpenPanelView);
    // The panel view closes with the console.
    connect(this, &QDialog::finished, this, [this] {
        if (m_panelView != nullptr)
            m_panelView->close();
    });
}

void CHostCenterDlg::SetUpDecorations()
{
    m_systemMenu = new QMenu(this);
    m_systemMenu->setObjectName(u"systemMenu"_s);
    m_minimiseAction = m_systemMenu->addAction(QString());
    connect(m_minimiseAction, &QAction::triggered, this, &QWidget::showMinimized);
    m_systemMenu->addSeparator();
    m_panelViewAction = m_systemMenu->addAction(QString());
    connect(m_panelViewAction, &QAction::triggered, this, &CHostCenterDlg::OpenPanelView);
    m_systemMenu->addSeparator();
    m_closeAction = m_systemMenu->addAction(QString());
    connect(m_closeAction, &QAction::triggered, this, &QWidget::close);
    // Each language by its own name; the choice lasts as long as the program.
    m_systemMenu->addSeparator();
    auto* languages = new QActionGroup(m_systemMenu);
    for (const UiLanguage language : {UiLanguage::Chinese, UiLanguage::English}) {
        QAction* action = m_systemMenu->addAction(LanguageName(language));
        action->setObjectName(language == UiLanguage::English ? u"languageEnglish"_s : u"languageChinese"_s);
        action->setCheckable(true);
        languages->addAction(action);
        connect(action, &QAction::triggered, this, [language] { SetUiLanguage(language); });
    }
    if (!AboutMenuText().isEmpty()) {
        m_systemMenu->addSeparator();
        m_aboutAction = m_systemMenu->addAction(QString());
        connect(m_aboutAction, &QAction::triggered, this, &CHostCenterDlg::OnAbout);
    }
    setWindowIcon(m_hIcon);
}

void CHostCenterDlg::Retranslate()
{
    setWindowTitle(tr("主机/中心模拟器"));
    for (const ControlTemplate& control : MainTemplateControls()) {
        if (*control.caption == '\0')
            continue;
        QWidget* widget = findChild<QWidget*>(QString::fromLatin1(control.name), Qt::FindDirectChildrenOnly);
        const QString text = std::string_view(control.name) == "sentListLabel"
                                 ? tr("发送", "the label of the list of sent frames")
                                 : tr(control.caption);
        if (auto* button = qobject_cast<QPushButton*>(widget))
            button->setText(text);
        else if (auto* label = qobject_cast<QLabel*>(widget))
            label->setText(text);
        else if (auto* group = qobject_cast<QGroupBox*>(widget))
            group->setTitle(text);
    }
    for (int i = 0; i < m_eventType->count(); ++i)
        m_eventType->setItemText(i, TranslatedEventName(i));
    m_minimiseAction->setText(tr("最小化(&N)"));
    m_panelViewAction->setText(tr("面板状态(&B)..."));
    m_closeAction->setText(tr("关闭(&C)"));
    if (m_aboutAction != nullptr)
        m_aboutAction->setText(AboutMenuText());
    const QString current =
        CurrentUiLanguage() == UiLanguage::English ? u"languageEnglish"_s : u"languageChinese"_s;
    m_systemMenu->findChild<QAction*>(current)->setChecked(true);
    NameForAssistiveTechnology();
}

void CHostCenterDlg::NameForAssistiveTechnology()
{
    const auto label = [this](const char* name) {
        return findChild<QLabel*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly)->text();
    };
    const auto group = [this](const char* name) {
        return findChild<QGroupBox*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly)->title();
    };
    // Named as their labels read; the command field has no label but its group.
    const std::pair<QWidget*, QString> names[] = {
        {m_sourcePort, label("sourcePortLabel")}, {m_destIp, label("destIpLabel")},
        {m_destPort, label("destPortLabel")},     {m_commNo, label("commNoLabel")},
        {m_deviceNo, label("deviceNoLabel")},     {m_zoneNo, label("zoneNoLabel")},
        {m_eventType, label("eventTypeLabel")},   {m_commandText, group("customGroup")},
        {m_sentList, label("sentListLabel")},     {m_recvList, label("recvListLabel")},
    };
    for (const auto& [control, name] : names)
        control->setAccessibleName(name);
    // The event list's own name is its current event; its drop-down list is named by the label.
    m_eventType->view()->setAccessibleName(label("eventTypeLabel"));
    // Buttons that share a caption keep it as their name and say in their description what they belong
    // to: the group that frames them, the list beside them, or the source port beside Start and Stop.
    const std::pair<QWidget*, QString> descriptions[] = {
        {m_start, label("sourcePortLabel")},   {m_stop, label("sourcePortLabel")},
        {m_autoSend, group("autoSendGroup")},  {m_autoStop, group("autoSendGroup")},
        {m_sendEvent, group("eventGroup")},    {m_sendCustom, group("customGroup")},
        {m_clearSent, label("sentListLabel")}, {m_clearRecv, label("recvListLabel")},
    };
    for (const auto& [control, description] : descriptions)
        control->setAccessibleDescription(description);
}

void CHostCenterDlg::InitControls()
{
    m_form.commNo = 0;
    m_form.deviceNo = 1;
    m_form.zoneNo = 1;
    for (int i = 0; i < EVENT_TYPE_COUNT; ++i)
        m_eventType->addItem(TranslatedEventName(i));
    m_eventType->setCurrentIndex(0);
    m_destIp->setText(QString::fromLatin1(DEFAULT_DESTINATION));
    m_destPort->setText(QString::fromLatin1(DEFAULT_DESTINATION_PORT));
    m_sourcePort->setText(QString::fromLatin1(DEFAULT_SOURCE_PORT));
    ApplyState(m_engine.State());
}

void CHostCenterDlg::OpenPanelView()
{
    if (m_panelView == nullptr)
        m_panelView = new PanelView(m_engine, this);
    m_panelView->show();
    m_panelView->raise();
    m_panelView->activateWindow();
}

void CHostCenterDlg::OnAbout()
{
    CAboutDlg about(this);
    about.exec();
}

FormExchange CHostCenterDlg::PullFormValues()
{
    const bool passed = UpdateData(true);
    return {passed, m_form};
}

std::optional<int> CHostCenterDlg::EventSelection() const
{
    const int row = m_eventType->currentIndex();
    return row >= 0 ? std::optional<int>(row) : std::nullopt;
}

QString CHostCenterDlg::DestinationAddressText() const
{
    return m_destIp->text();
}

QString CHostCenterDlg::DestinationPortText() const
{
    return m_destPort->text();
}

QString CHostCenterDlg::SourcePortText() const
{
    return m_sourcePort->text();
}

void CHostCenterDlg::AppendFrame(LogList list, const LoggedFrame& frame)
{
    FrameListView* view = List(list);
    const std::uint64_t serial = view->Store().NextSerial();
    const MonoTime now = frame.at ? *frame.at : MonoClock::now();
    const std::optional<LinePairing> pairing = m_pairing.OnAppend(list, frame, serial, now);
    view->AppendFrame(frame, pairing);
    if (pairing)
        List(list == LogList::Sent ? LogList::Received : LogList::Sent)->Pair(pairing->partner, serial);
}

void CHostCenterDlg::ClearList(LogList list)
{
    List(list)->Clear();
    m_pairing.OnClear(list);
}

void CHostCenterDlg::ShowMessage(const QString& text)
{
    // exec() keeps the thread's events flowing: timer ticks and datagrams are handled meanwhile.
    QMessageBox box(QMessageBox::NoIcon, u"Veltrano"_s, text, QMessageBox::Ok, this);
    box.exec();
}

void CHostCenterDlg::ApplyState(ConsoleState state)
{
    // Columns: Idle, Started, Sweeping. Every other control stays enabled in every state.
    const std::pair<QWidget*, std::array<bool, 3>> enabling[] = {
        {m_start, {true, false, false}},    {m_stop, {false, true, true}},
        {m_sendEvent, {false, true, true}}, {m_autoSend, {false, true, false}},
        {m_autoStop, {false, false, true}}, {m_destIp, {true, true, false}},
        {m_destPort, {true, true, false}},
    };
    const auto column = static_cast<std::size_t>(state);
    for (const auto& [control, enabled] : enabling)
        control->setEnabled(enabled[column]);
    // Saved captures put the lines on the port they went through.
    for (FrameListView* list : {m_sentList, m_recvList})
        list->SetLocalPort(m_engine.ListeningPort());
}

FrameListView* CHostCenterDlg::List(LogList list) const
{
    return list == LogList::Sent ? m_sentList : m_recvList;
}
