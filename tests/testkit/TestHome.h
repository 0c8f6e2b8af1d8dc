#pragma once

#include <QTemporaryDir>

// Points HOME and the XDG folders at a fresh temporary folder for the life of the object, so a test
// never reads or writes the user's real settings and files.
class TestHome final
{
public:
    TestHome();
    ~TestHome();
    Q_DISABLE_COPY_MOVE(TestHome)

    QString path() const { return m_dir.path(); }
    QString settingsFile() const;

private:
    QTemporaryDir m_dir;
    QByteArray m_saved[4];
};
