#ifndef TESTRESOLVER_H
#define TESTRESOLVER_H

#include <QByteArray>
#include <QString>

class TestResolverPrivate;

// Name lookups under a test's control, without touching the system: start()
// moves the whole test process into a mount namespace of its own, where
// /etc/hosts is the test's text and /etc/resolv.conf names a DNS stand-in on
// a loopback address of its own (port 53: the test runs as root). The
// stand-in answers the names given to answer() with one IPv4 address (and no
// IPv6 one), every other name with "no such name"; a held answer is sent
// only once release() is called, so that a test can act while lookups wait
// (answer() may hold a name again).
// The stand-in answers from a thread of its own, polling every 50 ms.
class TestResolver
{
public:
    TestResolver();
    ~TestResolver(); // stops the stand-in; the namespace stays

    // False (errorText() says why) when the namespace or the port cannot be had.
    bool start(const QByteArray &hosts);
    void answer(const QString &name, const QString &ipv4, bool held = false);
    // Every answer goes that long after its question (held ones too, at least).
    void setDelay(int milliseconds);
    // Sends the held answers; their names answer at once from then on.
    void release();
    // How many questions wait for a held answer.
    int heldQuestions() const;
    QString errorText() const;

private:
    TestResolverPrivate *const d;
    TestResolver(const TestResolver &) = delete;
    TestResolver &operator=(const TestResolver &) = delete;
};

#endif // TESTRESOLVER_H
