#ifndef KMAPACHESITE_H
#define KMAPACHESITE_H

#include "kmapacheconf.h"

#include <QString>
#include <QStringList>

class ZX2Journals;

// The live Apache site: puts generated files in place under
// /orba/etc/reverseproxy and has Apache reload them.
class KMApacheSite
{
public:
    KMApacheSite() = delete;

    // Writes the virtual-host files, removes the stale ones, then writes
    // http.conf and https.conf. A file that cannot be written sets ERR_SAVE
    // with its message and path; the other files are still written. Apache's
    // reload is scheduled only when every file was written.
    static bool apply(ZX2Journals &journals, const KMApacheFiles &files);

    // Writes the lines joined by "\n" as UTF-8 through a temporary file in
    // the same directory that is renamed into place, so Apache never reads a
    // half-written file. Creates missing directories. A file that already
    // holds exactly these bytes is left as it is.
    static bool writeLines(const QString &path, const QStringList &lines);

    // Runs "systemctl reload apache2" on a detached thread 3 s from now,
    // unless a reload is already waiting: a burst of regenerations is
    // followed by one reload, which starts after the last of them.
    static void scheduleReload();
};

#endif // KMAPACHESITE_H
