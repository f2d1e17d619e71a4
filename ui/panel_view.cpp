#include "ui/panel_view.h"

#include "engine/host_center_engine.h"

#include <QAction>
#include <QClipboard>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSpinBox>
#include <QSplitter>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <string>

using namespace veltrano;

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int MAX_SILENCE_LIMIT_S = 24 * 3600;
constexpr int DEFAULT_WIDTH = 1000;
constexpr int DEFAULT_HEIGHT = 640;

// Each column as wide as its header and the widest text it can show, in bold as a row in alarm shows it:
// measured on those few texts, since a table of tens of thousands of rows must never measure its cells.
template <class Model>
void SizeColumnsToContents(QTableView* table, const Model& model)
{
    QFont bold = table->font();
    bold.setBold(true);
    const QFontMetrics metrics(bold);
    // The delegate's margin on either side of the text, and the grid line.
    const int margins =
        2 * (table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table) + 1) + 2;
    const QHeaderView* header = table->horizontalHeader();
    for (int column = 0; column < model.columnCount(); ++column) {
        int width = header->sectionSizeHint(column);
        for (const QString& text : model.WidestTexts(column))
            width = std::max(width, metrics.horizontalAdvance(text) + margins);
        table->setColumnWidth(column, width);
    }
}

} // namespace

PanelView::PanelView(CHostCenterEngine& engine, QWidget* parent)
    : QWidget(parent, Qt::Window), m_engine(engine), m_panels(engine.Book()), m_events(engine.Book()),
      m_registry(engine.Registry()), m_savedLines(m_events)
{
    setObjectName(u"panelView"_s);
    // The console's end is the program's end, whether this window is open or not.
    setAttribute(Qt::WA_QuitOnClose, false);
    m_sortedPanels.setSourceModel(&m_panels);

    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(u"panelTabs"_s);
    m_tabs->addTab(CreatePanelsTab(), QString());
    m_tabs->addTab(CreateRegistryTab(), QString());
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs);
    Retranslate();
    resize(std::max(DEFAULT_WIDTH, FittingWidth()), DEFAULT_HEIGHT);

    m_refreshTimer.setObjectName(u"panelRefreshTimer"_s);
    m_refreshTimer.setInterval(REFRESH_PERIOD_MS);
    connect(&m_refreshTimer, &QTimer::timeout, this, &PanelView::Refresh);
    connect(&m_engine, &CHostCenterEngine::RegistryChanged, this, [this] { m_registryDirty = true; });
    connect(&m_saver, &ListSaver::Finished, this, &PanelView::OnSaveFinished);
    m_filterTimer.setSingleShot(true);
    m_filterTimer.setInterval(FILTER_DELAY_MS);
    connect(&m_filterTimer, &QTimer::timeout, this,
            [this] { m_sortedPanels.SetFilterText(m_filter->text()); });
}

PanelView::~PanelView() = default;

QWidget* PanelView::CreatePanelsTab()
{
    auto* tab = new QWidget(this);
    m_filter = new QLineEdit(tab);
    m_filter->setObjectName(u"panelFilter"_s);
    m_filter->setClearButtonEnabled(true);
    connect(m_filter, &QLineEdit::textChanged, this, [this] { m_filterTimer.start(); });

    m_silenceLimit = new QSpinBox(tab);
    m_silenceLimit->setObjectName(u"silenceLimit"_s);
    m_silenceLimit->setRange(0, MAX_SILENCE_LIMIT_S);
    m_silenceLimit->setValue(0);
    connect(m_silenceLimit, &QSpinBox::valueChanged, this, &PanelView::OnSilenceLimitChanged);
    m_silenceLabel = new QLabel(tab);
    m_silenceLabel->setBuddy(m_silenceLimit);

    m_counts = new QLabel(tab);
    m_counts->setObjectName(u"panelCounts"_s);

    auto* bar = new QHBoxLayout;
    bar->addWidget(m_filter, 1);
    bar->addWidget(m_silenceLabel);
    bar->addWidget(m_silenceLimit);
    bar->addWidget(m_counts);

    m_panelTable = CreateTable(&m_sortedPanels, u"panelTable"_s);
    // No sort until the operator picks a column: the rows keep the order the panels were first heard in.
    m_panelTable->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    m_panelTable->setSortingEnabled(true);
    connect(m_panelTable, &QTableView::doubleClicked, this,
            [this](const QModelIndex& index) { ShowEventsOf(index.row()); });

    m_logTitle = new QLabel(tab);
    m_logTitle->setObjectName(u"eventLogTitle"_s);
    m_showAll = new QPushButton(tab);
    m_showAll->setObjectName(u"showAllEvents"_s);
    m_showAll->setAutoDefault(false);
    connect(m_showAll, &QPushButton::clicked, this, &PanelView::ShowAllEvents);
    m_eventLog = CreateTable(&m_events, u"eventLog"_s);
    m_eventLog->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_eventLog, &QWidget::customContextMenuRequested, this, &PanelView::OnEventLogMenu);
    // The table's own copy takes one cell; the log copies its selected lines.
    m_eventLog->installEventFilter(this);

    auto* logPane = new QWidget(tab);
    auto* logBar = new QHBoxLayout;
    logBar->addWidget(m_logTitle, 1);
    logBar->addWidget(m_showAll);
    auto* logLayout = new QVBoxLayout(logPane);
    logLayout->setContentsMargins(0, 0, 0, 0);
    logLayout->addLayout(logBar);
    logLayout->addWidget(m_eventLog);

    auto* split = new QSplitter(Qt::Vertical, tab);
    split->addWidget(m_panelTable);
    split->addWidget(logPane);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);

    auto* layout = new QVBoxLayout(tab);
    layout->addLayout(bar);
    layout->addWidget(split, 1);
    return tab;
}

QWidget* PanelView::CreateRegistryTab()
{
    auto* tab = new QWidget(this);
    m_registryNote = new QLabel(tab);
    m_registryNote->setWordWrap(true);
    m_registryTable = CreateTable(&m_registry, u"registryTable"_s);
    auto* layout = new QVBoxLayout(tab);
    layout->addWidget(m_registryNote);
    layout->addWidget(m_registryTable, 1);
    return tab;
}

QTableView* PanelView::CreateTable(QAbstractItemModel* model, const QString& name)
{
    auto* table = new QTableView(this);
    table->setObjectName(name);
    table->setModel(model);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setWordWrap(false);
    table->setAlternatingRowColors(true);
    // Every row as tall as a line of text: the table never asks a row for its size.
    QHeaderView* rows = table->verticalHeader();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(table->fontMetrics().height() + 4);
    rows->hide();
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    table->horizontalHeader()->setStretchLastSection(true);
    return table;
}

bool PanelView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_eventLog && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
        CopyEventLogSelection();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void PanelView::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::LanguageChange) {
        Retranslate();
        // Wider words widen the window rather than cut a column; it never shrinks under the operator.
        if (!isMaximized() && !isFullScreen())
            resize(std::max(width(), FittingWidth()), height());
    }
}

void PanelView::Retranslate()
{
    setWindowTitle(tr("面板状态"));
    m_tabs->setTabText(0, tr("中心收到的面板"));
    m_tabs->setTabText(1, tr("本机模拟的面板"));
    m_filter->setPlaceholderText(tr("筛选：通讯机号、设备编号、地址或状态"));
    m_silenceLimit->setSpecialValueText(tr("关闭"));
    m_silenceLimit->setSuffix(tr(" 秒"));
    m_silenceLabel->setText(tr("静默超过此时限算作失联："));
    m_showAll->setText(tr("显示全部事件"));
    m_registryNote->setText(tr("本机按“指定消息发送”发出事件的面板，以及各自当前的状态。"));
    // Qt names the tab bar's scroll buttons once, in the language of the moment; Qt's own translations
    // hold these texts.
    const std::pair<const char*, const char*> scrollButtons[] = {{"ScrollLeftButton", "Scroll Left"},
                                                                 {"ScrollRightButton", "Scroll Right"}};
    for (const auto& [name, text] : scrollButtons)
        if (auto* button = m_tabs->tabBar()->findChild<QToolButton*>(QString::fromLatin1(name)))
            button->setAccessibleName(QCoreApplication::translate("QTabBar", text));
    m_panels.Retranslate();
    m_events.Retranslate();
    m_registry.Retranslate();
    SizeColumnsToContents(m_panelTable, m_panels);
    SizeColumnsToContents(m_eventLog, m_events);
    SizeColumnsToContents(m_registryTable, m_registry);
    UpdateCounts();
    UpdateLogTitle();
}

int PanelView::ContentWidth() const
{
    // The widest table with its frame and a vertical scroll bar, inside the tab's and the window's margins.
    const QStyle* style = this->style();
    const int table =
        std::max(m_panelTable->horizontalHeader()->length(), m_eventLog->horizontalHeader()->length()) +
        2 * m_panelTable->frameWidth() + style->pixelMetric(QStyle::PM_ScrollBarExtent);
    const QMargins window = layout()->contentsMargins();
    const QMargins tab = m_tabs->widget(0)->layout()->contentsMargins();
    const int pane = 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, m_tabs);
    return table + window.left() + window.right() + tab.left() + tab.right() + pane;
}

int PanelView::FittingWidth() const
{
    // Never wider than the screen: there the tables scroll sideways.
    return std::min(ContentWidth(), screen()->availableGeometry().width());
}

void PanelView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_refreshTimer.isActive())
        return;
    m_panels.Reload();
    m_events.Reload();
    m_registry.Refresh();
    m_registryDirty = false;
    UpdateCounts();
    UpdateLogTitle();
    m_eventLog->scrollToBottom();
    m_refreshTimer.start();
}

void PanelView::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    // Closed, the view holds nothing and does nothing; the book goes on.
    m_refreshTimer.stop();
    m_panels.Release();
    m_events.Release();
    m_registry.Release();
    m_registryDirty = true;
}

void PanelView::Refresh()
{
    if (!m_refreshTimer.isActive())
        return; // closed: the models hold nothing to bring up to date
    veltrano::PanelBook& book = m_engine.Book();
    if (book.SilenceLimit().count() > 0) {
        book.Check(std::chrono::steady_clock::now(), [](const veltrano::PanelBook::Report&) {});
    }
    m_panels.Refresh();
    // Follow the end of the log unless the operator scrolled up to read.
    const QScrollBar* bar = m_eventLog->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    const int before = m_events.rowCount();
    m_events.Refresh();
    if (atEnd && m_events.rowCount() != before)
        m_eventLog->scrollToBottom();
    if (m_registryDirty) {
        m_registryDirty = false;
        m_registry.Refresh();
    }
    UpdateCounts();
}

void PanelView::ShowEventsOf(int viewRow)
{
    const QModelIndex source = m_sortedPanels.mapToSource(m_sortedPanels.index(viewRow, 0));
    if (!source.isValid())
        return;
    m_events.SetPanelFilter(static_cast<std::uint32_t>(source.row()));
    m_eventLog->scrollToBottom();
    UpdateLogTitle();
}

void PanelView::ShowAllEvents()
{
    m_events.SetPanelFilter(std::nullopt);
    m_eventLog->scrollToBottom();
    UpdateLogTitle();
}

QString PanelView::EventLogSelectedText() const
{
    QModelIndexList rows = m_eventLog->selectionModel()->selectedRows();
    std::ranges::sort(rows, {}, &QModelIndex::row);
    std::string text;
    for (const QModelIndex& row : rows)
        m_events.AppendLine(text, m_events.Events()[static_cast<std::size_t>(row.row())]);
    if (!text.empty())
        text.pop_back(); // as the lists copy: lines between, none after
    return QString::fromStdString(text);
}

void PanelView::CopyEventLogSelection() const
{
    const QString text = EventLogSelectedText();
    if (!text.isEmpty())
        QGuiApplication::clipboard()->setText(text);
}

bool PanelView::SaveEventLog(const QString& path)
{
    if (!m_saver.Running())
        m_savedLines.Take();
    if (const std::optional<QString> refused = m_saver.Start(path)) {
        OnSaveFinished(*refused);
        return false;
    }
    return true;
}

void PanelView::OnSilenceLimitChanged(int seconds)
{
    m_engine.Book().SetSilenceLimit(std::chrono::seconds(seconds));
    if (m_refreshTimer.isActive())
        Refresh();
}

void PanelView::OnEventLogMenu(const QPoint& position)
{
    auto* menu = new QMenu(this);
    menu->setObjectName(u"eventLogMenu"_s);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const bool hasRows = m_events.rowCount() > 0;
    QAction* copy = menu->addAction(tr("复制(&C)"));
    copy->setShortcut(QKeySequence::Copy);
    copy->setEnabled(m_eventLog->selectionModel()->hasSelection());
    connect(copy, &QAction::triggered, this, &PanelView::CopyEventLogSelection);
    QAction* all = menu->addAction(tr("全选(&A)"));
    all->setShortcut(QKeySequence::SelectAll);
    all->setEnabled(hasRows);
    connect(all, &QAction::triggered, m_eventLog, &QTableView::selectAll);
    for (QAction* action : {copy, all})
        action->setShortcutVisibleInContextMenu(true);
    menu->addSeparator();
    QAction* save = menu->addAction(tr("保存为文本(&T)..."));
    save->setEnabled(hasRows && !m_saver.Running());
    connect(save, &QAction::triggered, this, &PanelView::AskAndSaveEventLog);
    menu->popup(m_eventLog->viewport()->mapToGlobal(position));
}

void PanelView::AskAndSaveEventLog()
{
    const QString path = QFileDialog::getSaveFileName(this, tr("保存为文本"), u"events.txt"_s,
                                                      tr("文本文件 (*.txt);;所有文件 (*)"));
    if (!path.isEmpty())
        SaveEventLog(path);
}

void PanelView::OnSaveFinished(const QString& message)
{
    if (!message.isEmpty())
        Tell(message);
    Q_EMIT SaveFinished(message);
}

void PanelView::Tell(const QString& message)
{
    QMessageBox box(QMessageBox::Warning, u"Veltrano"_s, message, QMessageBox::Ok, this);
    box.exec();
}

void PanelView::UpdateCounts()
{
    const veltrano::PanelBook& book = m_engine.Book();
    m_counts->setText(
        tr("面板 %1，报警 %2，失联 %3").arg(book.size()).arg(book.InAlarmNow()).arg(book.MissingNow()));
}

void PanelView::UpdateLogTitle()
{
    const std::optional<std::uint32_t> panel = m_events.PanelFilter();
    m_logTitle->setText(panel ? tr("事件：面板 %1").arg(PanelName(m_engine.Book(), *panel))
                              : tr("事件：全部面板"));
    m_showAll->setEnabled(panel.has_value());
}
