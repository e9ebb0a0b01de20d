#include "desktop/app/app_icon.h"

#include "core/settings/app_identity.h"

// Outside any namespace, as the resource initialiser requires.
static void initAppIconResource() { Q_INIT_RESOURCE(app_icon); }

namespace trayline {

QIcon appIcon() {
    initAppIconResource();
    return QIcon::fromTheme(QString::fromLatin1(identity::kIconName),
                            QIcon(QStringLiteral(":/trayline/app/com.brindle.trayline.svg")));
}

}  // namespace trayline
