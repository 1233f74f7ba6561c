// ZX2UrlSplit on arbitrary texts.
//
// Without "://" nothing may change; otherwise the scheme comes back in lower
// case, the outputs describe only text that was in the URL, and splitting
// the same URL twice gives the same answer.
#include "zx2utils_url.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void split(const QString &url)
{
    QString protocol = QStringLiteral("p0");
    QString host = QStringLiteral("h0");
    int port = -12345;
    QString path = QStringLiteral("path0");
    QHash<QString, QString> query{{QStringLiteral("k0"), QStringLiteral("v0")}};
    const bool ok = ZX2UrlSplit(url, protocol, host, port, path, &query);
    if (!ok) {
        check(!url.contains(QStringLiteral("://")), "a URL with a scheme separator was refused");
        check(protocol == QLatin1String("p0") && host == QLatin1String("h0") && port == -12345
                  && path == QLatin1String("path0") && query.size() == 1,
              "a refused URL changed the outputs");
        return;
    }
    check(protocol == protocol.toLower(), "scheme not in lower case");
    check(!query.contains(QStringLiteral("k0")) || url.contains(QStringLiteral("k0")),
          "query pairs of an earlier call survived");
    check(path.size() <= url.size(), "path longer than the URL");

    QString protocol2, host2, path2;
    int port2 = port;
    QHash<QString, QString> query2;
    check(ZX2UrlSplit(url, protocol2, host2, port2, path2, &query2), "second split failed");
    check(protocol2 == protocol && host2 == host && port2 == port && path2 == path
              && query2 == query,
          "splitting twice gave different answers");
    ZX2UrlSplit(url, protocol2, host2, port2, path2, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);
    split(QString::fromUtf8(bytes, int(size)));
    split(QString::fromLatin1(bytes, int(size)));
    return 0;
}
