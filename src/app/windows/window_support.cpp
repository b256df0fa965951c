#include "app/windows/window_support.h"

#include "app/ui/app_icon.h"
#include "app/ui/panel.h"
#include "app/ui/theme.h"
#include "app/ui/widgets.h"
#include "app/web/platform_client.h"

#include <QCursor>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QScreen>
#include <QUrl>

namespace velurio {

QWidget* createAccountWindow(const QString& title, int width, int height) {
    auto* window = new QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                            Qt::WindowCloseButtonHint);
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    window->setWindowTitle(title);
    window->setWindowIcon(QIcon(appIconPixmap()));
    window->setFixedSize(width, height);
    setWindowBackground(window, Theme::grafite());
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (screen == nullptr)
        screen = fallbackScreen();
    if (screen != nullptr) {
        const QRect area = screen->availableGeometry();
        window->move(area.center() - QPoint(width / 2, height / 2));
    }
    return window;
}

void bringToFront(QWidget* window) {
    window->show();
    window->raise();
    window->activateWindow();
}

void openPlatformPage(const QString& path) {
    QUrl url = PlatformClient::defaultBaseURL();
    QString base = url.path();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    url.setPath(base + path);
    QDesktopServices::openUrl(url);
}

}  // namespace velurio
