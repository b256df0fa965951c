#include "app/ui/app_icon.h"

#include <QFile>

// Resources of a static library are registered by name from outside any namespace.
static void registerUiResources() {
    Q_INIT_RESOURCE(ui_resources);
}

namespace velurio {

QPixmap appIconPixmap() {
    static const bool registered = [] {
        registerUiResources();
        return true;
    }();
    (void)registered;
    return QPixmap(QString::fromLatin1(kAppIconResource));
}

}  // namespace velurio
