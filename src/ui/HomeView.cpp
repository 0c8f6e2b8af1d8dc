#include "HomeView.h"

#include "AIEnhancedModeCard.h"
#include "ConnectionPanel.h"
#include "LogPanel.h"
#include "NodePanel.h"

#include <QHBoxLayout>

HomeView::HomeView(StateActions &actions, QWidget *parent) : QWidget(parent)
{
    m_connection = new ConnectionPanel(actions, this);
    m_connection->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);

    m_rail = new QWidget(this);
    m_rail->setFixedWidth(railWidth);
    m_nodes = new NodePanel(actions, m_rail);
    m_logs = new LogPanel(actions, m_rail);
    m_ai = new AIEnhancedModeCard(actions, m_rail);
    auto *rail = new QVBoxLayout(m_rail);
    rail->setContentsMargins(0, 0, 0, 0);
    rail->setSpacing(spacing);
    rail->addWidget(m_nodes);
    rail->addWidget(m_logs);
    rail->addWidget(m_ai);
    rail->addStretch();

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    layout->addWidget(m_connection, 1);
    // The rail takes the row's height, so that a short window squeezes the endpoint list, which scrolls, instead
    // of pushing the connect button and the cards out of view.
    layout->addWidget(m_rail);
}
