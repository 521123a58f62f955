// Stand-ins for logind's inhibitor locks and the desktop's notification
// service on whatever session bus DBUS_SESSION_BUS_ADDRESS names, for the
// model's tests. Prints one line per event on standard output:
//   inhibit <what>|<who>|<why>|<mode>   a lock was handed out
//   release <why>                       its last descriptor was closed
//   notify <body>                       a notification was posted
// A lock is a pipe: the caller gets the write end, and end of file on the
// read end means every copy is closed, which is how logind sees it too.
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusUnixFileDescriptor>
#include <QSocketNotifier>
#include <QVariantMap>

#include <cstdio>

namespace {

void say(const QString& line) {
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

class Manager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
  public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode) {
        int ends[2];
        if (::pipe(ends) != 0) return {};
        say("inhibit " + what + "|" + who + "|" + why + "|" + mode);
        auto* watch = new QSocketNotifier(ends[0], QSocketNotifier::Read, this);
        connect(watch, &QSocketNotifier::activated, this, [watch, why, readEnd = ends[0]] {
            char byte;
            if (::read(readEnd, &byte, 1) > 0) return;
            say("release " + why);
            watch->setEnabled(false);
            watch->deleteLater();
            ::close(readEnd);
        });
        QDBusUnixFileDescriptor handed(ends[1]); // holds a duplicate
        ::close(ends[1]);
        return handed;
    }
};

class Notifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
  public slots:
    uint Notify(const QString&, uint, const QString&, const QString&, const QString& body, const QStringList&,
                const QVariantMap&, int) {
        say("notify " + body);
        return ++count;
    }

  private:
    uint count = 0;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    Manager manager;
    Notifications notifications;
    auto exported = QDBusConnection::ExportAllSlots;
    if (!bus.registerObject("/org/freedesktop/login1", &manager, exported) ||
        !bus.registerObject("/org/freedesktop/Notifications", &notifications, exported) ||
        !bus.registerService("org.freedesktop.login1") ||
        !bus.registerService("org.freedesktop.Notifications")) {
        std::fprintf(stderr, "ERROR: cannot serve on the session bus: %s\n",
                     bus.lastError().message().toUtf8().constData());
        return 1;
    }
    say("ready");
    return application.exec();
}

#include "LoginStandIn.moc"
