#pragma once

#include "Panel.h"
#include "base/Types.h"

#include "FocusButton.h"

class Pill;
class QScrollArea;
class QVBoxLayout;
class StateActions;
class StyledButton;

// One endpoint in the node panel: region, detail and status; highlighted when it is the selected endpoint.
class NodeRow final : public FocusButton
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NodeRow)

public:
    NodeRow(const Endpoint &endpoint, bool selected, QWidget *parent = nullptr);

    const Endpoint &endpoint() const { return m_endpoint; }
    bool isHighlighted() const { return m_selected; }
    Pill *statusPill() const { return m_status; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    Endpoint m_endpoint;
    bool m_selected;
    Pill *m_status;
};

// The node status capsule, at least 52 points wide, coloured by status.
void styleNodeStatusPill(Pill &pill, NodeStatus status);

// "当前线路": the visible endpoints, a refresh button and the expand button. The rows scroll within a bounded
// height, so that a long catalogue never pushes the rest of the home page out of the window.
class NodePanel final : public Panel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NodePanel)

public:
    static constexpr int rowHeight = 58;
    static constexpr int rowSpacing = 8;
    // The list gives up to this many rows' height and takes at least one row's when the window is short.
    static constexpr int mostRowsShown = 6;

    explicit NodePanel(StateActions &actions, QWidget *parent = nullptr);

    QList<NodeRow *> rows() const { return m_rows; }
    QScrollArea *list() const { return m_list; }
    StyledButton *refreshButton() const { return m_refresh; }
    StyledButton *expandButton() const { return m_expand; }

private:
    void refresh();

    StateActions &m_actions;
    StyledButton *m_refresh;
    StyledButton *m_expand;
    QScrollArea *m_list;
    QVBoxLayout *m_rowsLayout;
    QList<NodeRow *> m_rows;
    // What the rows show now, so that unrelated state changes do not rebuild them.
    QList<Endpoint> m_shown;
    std::optional<QString> m_shownSelection;
};
