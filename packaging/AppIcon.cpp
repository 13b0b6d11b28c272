// SPDX-License-Identifier: GPL-3.0-or-later
#include "packaging/AppIcon.h"

#include <QFile>
#include <QString>

namespace {
// The sizes rendered at build time (KESTOVA_ICON_SIZES in packaging/CMakeLists.txt).
constexpr int kKestovaIconSizes[] = {KESTOVA_ICON_SIZES};
} // namespace

QIcon KestovaBuiltInAppIcon(const char* name)
{
    QIcon icon;
    for (int size : kKestovaIconSizes) {
        const QString file = QStringLiteral(":/kestova/icons/%1-%2.png").arg(QLatin1String(name)).arg(size);
        if (QFile::exists(file))
            icon.addFile(file, QSize(size, size));
    }
    return icon;
}

QIcon KestovaAppIcon(const char* name)
{
    const QIcon builtIn = KestovaBuiltInAppIcon(name);
    if (builtIn.isNull())
        return builtIn;
    return QIcon::fromTheme(QLatin1String(name), builtIn);
}
