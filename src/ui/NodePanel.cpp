#include "NodePanel.h"

#include "PageParts.h"
#include "Palette.h"
#include "Pill.h"
#include "StyledButton.h"
#include "Tasks.h"
#include "Typography.h"
#include "ViewTexts.h"
#include "state/AppState.h"
#include "state/StateActions.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>

void styleNodeStatusPill(Pill &pill, NodeStatus status)
{
    pill.setText(rawValue(status));
    pill.setMinimumWidth(52);
    switch (status) {
    case NodeStatus::online: pill.setColors(Palette::tvGreen(), Palette::tvGreenSoft()); break;
    case NodeStatus::checking: pill.setColors(Palette::tvOrange(), Palette::tvOrangeSoft()); break;
    case NodeStatus::offline: pill.setColors(Palette::tvMuted(), Palette::tvSoft()); break;
    }
}

NodeRow::NodeRow(const Endpoint &endpoint, bool selected, QWidget *parent)
    : FocusButton(parent), m_endpoint(endpoint), m_selected(selected)
{
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setText(endpoint.region);
    setToolTip(ViewTexts::plainToolTip(endpoint.detail()));
    m_status = new Pill(QString(), QColor(), QColor(), this);
    styleNodeStatusPill(*m_status, endpoint.status);
}

QSize NodeRow::sizeHint() const
{
    return {240, NodePanel::rowHeight};
}

void NodeRow::resizeEvent(QResizeEvent *event)
{
    FocusButton::resizeEvent(event);
    const QSize pill = m_status->sizeHint().expandedTo({52, 0});
    m_status->setGeometry(width() - 12 - pill.width(), (height() - pill.height()) / 2, pill.width(), pill.height());
}

void NodeRow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (isDown())
        painter.setOpacity(0.8);
    painter.setPen(QPen(m_selected ? Palette::tvBlue() : Palette::tvLineSoft(), 1));
    painter.setBrush(m_selected ? Palette::tvBlueSoft() : Palette::tvSoft2());
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);

    const int textWidth = m_status->x() - 24;
    painter.setPen(Palette::tvInk());
    painter.setFont(Typography::heavy(14));
    painter.drawText(QRect(12, 9, textWidth, 20), Qt::AlignLeft | Qt::AlignVCenter,
                     painter.fontMetrics().elidedText(m_endpoint.region, Qt::ElideRight, textWidth));
    painter.setPen(Palette::tvMuted());
    painter.setFont(Typography::font(11));
    painter.drawText(QRect(12, 31, textWidth, 18), Qt::AlignLeft | Qt::AlignVCenter,
                     painter.fontMetrics().elidedText(m_endpoint.detail(), Qt::ElideRight, textWidth));
    paintFocusRing(painter, QRectF(rect()), 8);
}

NodePanel::NodePanel(StateActions &actions, QWidget *parent) : Panel(parent, 16), m_actions(actions)
{
    QVBoxLayout *titles = makePanelHeading(QStringLiteral("当前线路"), QStringLiteral("智能推荐"), this);
    m_refresh = new StyledButton(QStringLiteral("刷新"), ButtonStyle::secondary, this);
    connect(m_refresh, &StyledButton::clicked, this, [this] {
        startBusyTask(
            m_refresh, QStringLiteral("刷新中..."), [this] { return m_actions.refreshPublicData(); },
            "refreshPublicData");
    });
    auto *header = new QHBoxLayout;
    header->addLayout(titles, 1);
    header->addWidget(m_refresh, 0, Qt::AlignVCenter);

    auto *rows = new QWidget;
    m_rowsLayout = new QVBoxLayout(rows);
    m_rowsLayout->setContentsMargins(0, 0, 0, 0);
    m_rowsLayout->setSpacing(rowSpacing);
    m_rowsLayout->addStretch();
    m_list = new QScrollArea(this);
    m_list->setWidget(rows);
    m_list->setWidgetResizable(true);
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The white viewport shows through; a style sheet here would also restyle the scroll bar.
    rows->setAutoFillBackground(false);

    m_expand = new StyledButton(QString(), ButtonStyle::secondary, this);
    m_expand->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(m_expand, &StyledButton::clicked, this,
            [this] { m_actions.state().setNodesExpanded(!m_actions.state().nodesExpanded()); });

    auto *layout = makeColumn();
    layout->setSpacing(12);
    layout->addLayout(header);
    layout->addWidget(m_list);
    layout->addWidget(m_expand);

    refresh();
    m_actions.state().watch({&AppState::accountChanged, &AppState::connectionChanged, &AppState::viewChanged}, this,
                            &NodePanel::refresh);
}

void NodePanel::refresh()
{
    const AppState &state = m_actions.state();
    m_expand->setText(state.nodesExpanded() ? QStringLiteral("收起节点") : QStringLiteral("展开全部节点"));

    const QList<Endpoint> visible = state.visibleEndpoints();
    const std::optional<QString> selection = state.selectedEndpoint().id;
    if (visible == m_shown && selection == m_shownSelection)
        return;
    m_shown = visible;
    m_shownSelection = selection;
    qDeleteAll(m_rows);
    m_rows.clear();
    QWidget *previous = m_refresh;
    for (const Endpoint &endpoint : visible) {
        // Highlight the endpoint the state would connect to, which is the selection when it is in the list.
        auto *row = new NodeRow(endpoint, endpoint.id == selection, m_list->widget());
        connect(row, &NodeRow::clicked, this, [this, endpoint] { m_actions.selectEndpoint(endpoint); });
        m_rowsLayout->insertWidget(static_cast<int>(m_rows.size()), row);
        m_rows.append(row);
        // New rows would come last in the Tab order; keep it the order they are read in.
        setTabOrder(previous, row);
        previous = row;
    }
    setTabOrder(previous, m_expand);

    const auto rowsHeight = [](qsizetype rows) {
        return rows > 0 ? static_cast<int>(rows) * (rowHeight + rowSpacing) - rowSpacing : 0;
    };
    m_list->setMaximumHeight(rowsHeight(std::min<qsizetype>(m_rows.size(), mostRowsShown)));
    m_list->setMinimumHeight(rowsHeight(std::min<qsizetype>(m_rows.size(), 1)));
    m_list->setVisible(!m_rows.isEmpty());
}
