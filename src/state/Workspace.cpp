#include "Workspace.h"

Workspace::Functions &Workspace::functions()
{
    static Functions installed;
    return installed;
}

void Workspace::install(Functions functions)
{
    Workspace::functions() = std::move(functions);
}

bool Workspace::openURL(const QUrl &url)
{
    const auto &open = functions().openURL;
    return open ? open(url) : false;
}

bool Workspace::copyText(const QString &text)
{
    const auto &copy = functions().copyText;
    return copy ? copy(text) : false;
}

bool Workspace::showMainWindow()
{
    const auto &show = functions().showMainWindow;
    return show ? show() : false;
}

bool Workspace::isWebAddress(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() &&
           (scheme == QLatin1String("https") || scheme == QLatin1String("http"));
}
