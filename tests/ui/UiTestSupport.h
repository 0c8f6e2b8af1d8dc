#pragma once

#include "core/AppState.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QTest>

// A signed-in user with the fields the pages show.
inline APIUser testUser()
{
    APIUser user;
    user.id = QStringLiteral("u1");
    user.identity = QStringLiteral("user@example.com");
    user.planName = QStringLiteral("月费套餐");
    user.maxDevices = 3;
    return user;
}

inline Device testDevice(const QString &id, bool current)
{
    Device device;
    device.id = id;
    device.platform = QStringLiteral("macOS");
    device.name = id + QStringLiteral(" · v9.7.3");
    device.action = current ? QStringLiteral("当前") : QStringLiteral("解绑");
    device.status = QStringLiteral("active");
    device.isCurrent = current;
    return device;
}

inline Endpoint testEndpoint(const QString &id, const QString &region)
{
    return Endpoint{
        id, region, id.toUpper(), std::nullopt, 40, 10, NodeStatus::online, {ProtocolKind::vless}, ProtocolKind::vless};
}

inline void click(QAbstractButton *button)
{
    QVERIFY(button);
    QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
}

inline QAbstractButton *buttonTitled(QMessageBox *box, const QString &title)
{
    for (QAbstractButton *button : box->buttons()) {
        if (button->text() == title)
            return button;
    }
    return nullptr;
}
