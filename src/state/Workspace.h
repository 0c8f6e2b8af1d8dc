#pragma once

#include <QString>
#include <QUrl>
#include <functional>

// The desktop around the client: the default browser, the clipboard and the main window. The core links no GUI
// module, so the application installs the real functions at start (tests install recorders). Until something is
// installed every call does nothing and reports false.
class Workspace final
{
public:
    struct Functions
    {
        std::function<bool(const QUrl &)> openURL;     // with the system's default handler
        std::function<bool(const QString &)> copyText; // replaces the clipboard's contents with plain text
        std::function<bool()> showMainWindow;          // brings the application and its main window to the front
    };

    static void install(Functions functions);

    static bool openURL(const QUrl &url);
    static bool copyText(const QString &text);
    static bool showMainWindow();

    // Only http and https addresses are ever handed to the default handler: an address from the control plane
    // must not start another application or open a local file.
    static bool isWebAddress(const QUrl &url);

private:
    static Functions &functions();
};
