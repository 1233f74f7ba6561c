#include "zx2paths.h"

#include <QByteArray>
#include <QtGlobal>

QString orbaPath(const QString &fixedPath)
{
    static const QString prefix = QStringLiteral("/orba");
    const QByteArray root = qgetenv("ORBA_ROOT");
    if (root.isEmpty())
        return fixedPath;
    if (fixedPath == prefix)
        return QString::fromLocal8Bit(root);
    if (fixedPath.startsWith(prefix + QLatin1Char('/')))
        return QString::fromLocal8Bit(root) + fixedPath.mid(prefix.size());
    return fixedPath;
}
