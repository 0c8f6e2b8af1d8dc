#pragma once

#include "base/Types.h"

#include "FocusButton.h"

#include <QWidget>

class QPushButton;

// The round connect button, 178 points across, in heavy type. Connected shows green; every other state black.
class ConnectButton final : public FocusButton
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ConnectButton)

public:
    static constexpr int diameter = 178;

    explicit ConnectButton(QWidget *parent = nullptr);

    void setConnected(bool connected);
    bool showsConnected() const { return m_connected; }
    QColor fillColor() const;

    QSize sizeHint() const override { return {diameter, diameter}; }

protected:
    void paintEvent(QPaintEvent *event) override;
    bool hitButton(const QPoint &pos) const override;

private:
    bool m_connected = false;
};

// The outbound mode switch: one segment per mode, the current one raised.
class SegmentedMode final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SegmentedMode)

public:
    explicit SegmentedMode(QWidget *parent = nullptr);

    void setCurrent(OutboundMode mode);
    OutboundMode current() const { return m_current; }
    QPushButton *segment(OutboundMode mode) const;

Q_SIGNALS:
    void chosen(OutboundMode mode);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    OutboundMode m_current = OutboundMode::smart;
    QList<QPushButton *> m_segments;
};
