#include "TestHome.h"
#include "core/Preferences.h"
#include "core/ProductPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <sys/stat.h>

namespace {
mode_t modeOf(const QString &path)
{
    struct stat st{};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}
} // namespace

class TestStorage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void preferencesKeepValueTypes()
    {
        TestHome home;
        {
            Preferences prefs;
            prefs.setBool("tovren.flag", true);
            prefs.setString("tovren.text", "true");
            prefs.setData("tovren.blob", QByteArray("\x00\xff{}", 4));
        }
        Preferences prefs;
        QCOMPARE(prefs.boolValue("tovren.flag"), std::optional<bool>(true));
        QCOMPARE(prefs.boolValue("tovren.text"), std::nullopt);
        QCOMPARE(prefs.stringValue("tovren.text"), std::optional<QString>("true"));
        QCOMPARE(prefs.stringValue("tovren.flag"), std::nullopt);
        QCOMPARE(prefs.dataValue("tovren.blob"), std::optional<QByteArray>(QByteArray("\x00\xff{}", 4)));
        QCOMPARE(prefs.stringValue("tovren.blob"), std::nullopt);
        QCOMPARE(prefs.boolValue("tovren.missing"), std::nullopt);
        prefs.remove("tovren.flag");
        QVERIFY(!prefs.contains("tovren.flag"));
    }

    void preferencesFolderIsOwnerOnly()
    {
        TestHome home;
        Preferences prefs;
        prefs.setString("tovren.sessionToken", "secret");
        const QString dir = QFileInfo(home.settingsFile()).absolutePath();
        QCOMPARE(modeOf(dir), mode_t(0700));
        QVERIFY(QFile::exists(home.settingsFile()));
    }

    void aCorruptSettingsFileReadsAsEmptyAndIsNotLost()
    {
        TestHome home;
        QDir().mkpath(QFileInfo(home.settingsFile()).absolutePath());
        QFile f(home.settingsFile());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("{not json");
        f.close();
        Preferences prefs;
        QCOMPARE(prefs.boolValue("tovren.launchAtLogin"), std::nullopt);
    }

    void privateFilesAreOwnerOnlyFromTheFirstByte()
    {
        TestHome home;
        const QString path = ProductPaths::cacheDirectory() + "/quick-connect-cache.json";
        ::umask(0022);
        QVERIFY(ProductPaths::writePrivateFileAtomically(path, "first"));
        QCOMPARE(modeOf(path), mode_t(0600));
        // A file that was world-readable before is replaced by an owner-only one.
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        QVERIFY(ProductPaths::writePrivateFileAtomically(path, "second"));
        QCOMPARE(modeOf(path), mode_t(0600));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("second"));
        // No temporary file is left beside it.
        QCOMPARE(QDir(QFileInfo(path).absolutePath()).entryList(QDir::Files | QDir::Hidden).size(), 1);
    }

    void aFailedWriteLeavesNothingBehind()
    {
        TestHome home;
        const QString dir = home.path() + "/target";
        // The target is a folder with content: the final rename fails.
        QVERIFY(QDir().mkpath(dir + "/occupied"));
        QVERIFY(!ProductPaths::writePrivateFileAtomically(dir, "new"));
        QVERIFY(QFileInfo(dir).isDir());
        QCOMPARE(QDir(home.path()).entryList(QDir::Files | QDir::Hidden).size(), 0);
    }

    void productFoldersLiveUnderTheProductName()
    {
        TestHome home;
        QVERIFY(ProductPaths::productDirectory().startsWith(home.path()));
        QVERIFY(ProductPaths::productDirectory().endsWith("/Tovren"));
        QVERIFY(ProductPaths::protocolsDirectory().endsWith("/Tovren/Protocols"));
        QVERIFY(ProductPaths::singBoxDirectory().endsWith("/Tovren/sing-box"));
        QVERIFY(ProductPaths::cacheDirectory().startsWith(home.path()));
        QVERIFY(ProductPaths::ensurePrivateDirectory(ProductPaths::protocolsDirectory()));
        QCOMPARE(modeOf(ProductPaths::protocolsDirectory()), mode_t(0700));
    }
};

QTEST_GUILESS_MAIN(TestStorage)
#include "test_storage.moc"
