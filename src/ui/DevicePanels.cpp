#include "DevicePanels.h"

#include "PageParts.h"
#include "Palette.h"
#include "StyledButton.h"
#include "Tasks.h"
#include "state/AppState.h"
#include "state/StateActions.h"

#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>

DeviceRow::DeviceRow(const Device &device, QWidget *parent) : QWidget(parent), m_device(device)
{
    auto *platform = makeLabel(device.platform, 12, QFont::Normal, Palette::tvMuted(), this);
    auto *name = makeLabel(device.name, 14, QFont::ExtraBold, Palette::tvInk(), this);
    name->setWordWrap(true);
    m_status = makeLabel(device.isOnline ? QStringLiteral("正在使用") : QStringLiteral("未连接"), 11, QFont::ExtraBold,
                         device.isOnline ? Palette::tvGreen() : Palette::tvMuted(), this);
    m_action = new StyledButton(device.action, ButtonStyle::secondary, this);
    m_action->setEnabled(!device.isCurrent);
    connect(m_action, &StyledButton::clicked, this, [this] { Q_EMIT actionRequested(m_device); });

    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(platform);
    texts->addWidget(name);
    texts->addWidget(m_status);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 6, 0, 6);
    layout->addLayout(texts, 1);
    layout->addWidget(m_action, 0, Qt::AlignVCenter);
}

CurrentDevicePanel::CurrentDevicePanel(StateActions &actions, QWidget *parent) : Panel(parent, 18), m_actions(actions)
{
    auto *heading = makeLabel(QStringLiteral("当前设备"), 16, QFont::ExtraBold, Palette::tvInk(), this);
    m_refresh = new StyledButton(QStringLiteral("刷新"), ButtonStyle::primaryCapsule, this);
    connect(m_refresh, &StyledButton::clicked, this, [this] {
        startBusyTask(
            m_refresh, QStringLiteral("刷新中..."), [this] { return m_actions.refreshPrivateData(); },
            "refreshPrivateData");
    });
    auto *header = new QHBoxLayout;
    header->addWidget(heading, 1);
    header->addWidget(m_refresh);

    m_name = makeLabel(QString(), 20, QFont::ExtraBold, Palette::tvInk(), this);
    m_name->setWordWrap(true);

    auto *grid = new QGridLayout;
    grid->setHorizontalSpacing(16);
    grid->setVerticalSpacing(8);
    const QStringList labels{QStringLiteral("系统"), QStringLiteral("版本"), QStringLiteral("状态"),
                             QStringLiteral("最后登录")};
    for (int i = 0; i < labels.size(); ++i) {
        grid->addWidget(makeLabel(labels[i], 12, QFont::ExtraBold, Palette::tvMuted(), this), i, 0);
        auto *value = makeLabel(QString(), 13, QFont::Normal, Palette::tvInk(), this);
        grid->addWidget(value, i, 1);
        m_values.append({labels[i], value});
    }
    grid->setColumnStretch(1, 1);

    auto *layout = makeColumn();
    layout->setSpacing(12);
    layout->addLayout(header);
    layout->addWidget(m_name);
    layout->addLayout(grid);
    layout->addStretch();

    refresh();
    m_actions.state().watch({&AppState::accountChanged}, this, &CurrentDevicePanel::refresh);
}

QString CurrentDevicePanel::valueOf(const QString &label) const
{
    for (const auto &[name, value] : m_values) {
        if (name == label)
            return value->text();
    }
    return QString();
}

void CurrentDevicePanel::refresh()
{
    const AppState &state = m_actions.state();
    const std::optional<Device> &device = state.currentDevice();
    m_name->setText(device ? device->name : QStringLiteral("等待绑定"));
    m_values[0].second->setText(QStringLiteral("macOS"));
    m_values[1].second->setText(AppState::applicationVersion());
    m_values[2].second->setText(device ? device->status : QStringLiteral("未绑定"));
    m_values[3].second->setText(device ? device->lastLogin : QStringLiteral("-"));
}

BoundDevicesPanel::BoundDevicesPanel(StateActions &actions, QWidget *parent) : Panel(parent, 18), m_actions(actions)
{
    auto *heading = makeLabel(QStringLiteral("已绑定设备"), 16, QFont::ExtraBold, Palette::tvInk(), this);
    m_usage = makeLabel(QString(), 12, QFont::ExtraBold, Palette::tvMuted(), this);
    auto *header = new QHBoxLayout;
    header->addWidget(heading);
    header->addWidget(m_usage, 1);

    m_rowsLayout = new QVBoxLayout;
    m_rowsLayout->setSpacing(4);
    m_expand = new StyledButton(QString(), ButtonStyle::secondary, this);
    m_expand->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(m_expand, &StyledButton::clicked, this,
            [this] { m_actions.state().setDevicesExpanded(!m_actions.state().devicesExpanded()); });

    auto *layout = makeColumn();
    layout->setSpacing(10);
    layout->addLayout(header);
    layout->addLayout(m_rowsLayout);
    layout->addStretch();
    layout->addWidget(m_expand);

    refresh();
    m_actions.state().watch({&AppState::accountChanged, &AppState::viewChanged}, this, &BoundDevicesPanel::refresh);
}

void BoundDevicesPanel::refresh()
{
    const AppState &state = m_actions.state();
    m_usage->setText(m_actions.state().deviceUsage());
    m_expand->setText(state.devicesExpanded() ? QStringLiteral("收起设备") : QStringLiteral("展开全部设备"));
    const QList<Device> visible = m_actions.state().visibleDevices();
    if (visible == m_shown)
        return;
    m_shown = visible;
    qDeleteAll(m_rows);
    m_rows.clear();
    QWidget *previous = nullptr;
    for (const Device &device : visible) {
        auto *row = new DeviceRow(device, this);
        connect(row, &DeviceRow::actionRequested, this, [this, row] { confirmUnbind(row); });
        m_rowsLayout->addWidget(row);
        m_rows.append(row);
        // New rows would come last in the Tab order; keep it the order they are read in.
        if (previous)
            setTabOrder(previous, row->actionButton());
        previous = row->actionButton();
    }
    if (previous)
        setTabOrder(previous, m_expand);
}

void BoundDevicesPanel::confirmUnbind(DeviceRow *row)
{
    if (m_confirmation)
        return;
    // Unbinding signs the other device out; ask first. The device's name comes from the control plane.
    auto *box = new QMessageBox(this);
    box->setWindowTitle(QStringLiteral("Tovren"));
    box->setIcon(QMessageBox::NoIcon);
    box->setTextFormat(Qt::PlainText);
    box->setText(QStringLiteral("确定解绑“%1”吗？解绑后这台设备需要重新登录。").arg(row->device().name));
    QAbstractButton *unbind = box->addButton(QStringLiteral("解绑"), QMessageBox::DestructiveRole);
    box->setEscapeButton(box->addButton(QStringLiteral("取消"), QMessageBox::RejectRole));
    box->setWindowModality(Qt::WindowModal);
    connect(box, &QMessageBox::finished, this,
            [this, box, unbind, button = QPointer<StyledButton>(row->actionButton()), device = row->device()] {
                const bool confirmed = box->clickedButton() == unbind;
                m_confirmation = nullptr;
                box->deleteLater();
                if (!confirmed)
                    return;
                const auto operation = [this, device] { return m_actions.unbindDevice(device); };
                if (button)
                    startBusyTask(button, QStringLiteral("解绑中..."), operation, "unbindDevice");
                else
                    startTask(operation(), "unbindDevice");
            });
    m_confirmation = box;
    box->open();
}
