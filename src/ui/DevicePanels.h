#pragma once

#include "Panel.h"
#include "base/Types.h"

class QLabel;
class QMessageBox;
class QVBoxLayout;
class StateActions;
class StyledButton;

// One bound device: platform, name, online word and its action button (disabled for this computer).
class DeviceRow final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DeviceRow)

public:
    DeviceRow(const Device &device, QWidget *parent = nullptr);

    const Device &device() const { return m_device; }
    QLabel *statusWord() const { return m_status; }
    StyledButton *actionButton() const { return m_action; }

Q_SIGNALS:
    void actionRequested(const Device &device);

private:
    Device m_device;
    QLabel *m_status;
    StyledButton *m_action;
};

// "当前设备": this computer's device as the control plane knows it.
class CurrentDevicePanel final : public Panel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CurrentDevicePanel)

public:
    explicit CurrentDevicePanel(StateActions &actions, QWidget *parent = nullptr);

    QLabel *deviceName() const { return m_name; }
    // The value shown for "系统", "版本", "状态" or "最后登录".
    QString valueOf(const QString &label) const;
    StyledButton *refreshButton() const { return m_refresh; }

private:
    void refresh();

    StateActions &m_actions;
    StyledButton *m_refresh;
    QLabel *m_name;
    QList<QPair<QString, QLabel *>> m_values;
};

// "已绑定设备": the visible devices with their unbind buttons and the expand button.
class BoundDevicesPanel final : public Panel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BoundDevicesPanel)

public:
    explicit BoundDevicesPanel(StateActions &actions, QWidget *parent = nullptr);

    QList<DeviceRow *> rows() const { return m_rows; }
    QLabel *usage() const { return m_usage; }
    StyledButton *expandButton() const { return m_expand; }
    // The question asked before a device is unbound, while it is open.
    QMessageBox *confirmation() const { return m_confirmation; }

private:
    void refresh();
    void confirmUnbind(DeviceRow *row);

    StateActions &m_actions;
    QLabel *m_usage;
    QVBoxLayout *m_rowsLayout;
    QList<DeviceRow *> m_rows;
    QList<Device> m_shown;
    StyledButton *m_expand;
    QMessageBox *m_confirmation = nullptr;
};
