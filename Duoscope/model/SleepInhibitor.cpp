#include "SleepInhibitor.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>

namespace duoscope {

QDBusConnection SleepInhibitor::bus() const {
    return bus_ ? *bus_ : QDBusConnection::systemBus();
}

void SleepInhibitor::hold(const QString& why) {
    if (isHeld() && heldReason_ == why) return;
    quint64 request = ++request_;
    QDBusConnection connection = bus();
    if (!connection.isConnected()) {
        if (!hasWarned_ && onWarning)
            onWarning("WARNING: The system may sleep during the conversion: no system D-Bus to ask logind");
        hasWarned_ = true;
        return;
    }
    QDBusMessage inhibit = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    inhibit << QStringLiteral("sleep:idle") << QStringLiteral("Duoscope") << why << QStringLiteral("block");
    auto* watcher = new QDBusPendingCallWatcher(connection.asyncCall(inhibit, 10000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, request, why](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                QDBusPendingReply<QDBusUnixFileDescriptor> reply = *call;
                // Released or replaced meanwhile: the descriptor closes with the reply.
                if (request != request_) return;
                if (reply.isError() || !reply.value().isValid()) {
                    if (!hasWarned_ && onWarning)
                        onWarning(
                            "WARNING: The system may sleep during the conversion: logind refused a lock (" +
                            (reply.isError() ? reply.error().message() : QStringLiteral("no descriptor")) +
                            ")");
                    hasWarned_ = true;
                    return;
                }
                lock_ = reply.value();
                heldReason_ = why;
            });
}

void SleepInhibitor::release() {
    ++request_;
    lock_ = QDBusUnixFileDescriptor();
    heldReason_.clear();
}

} // namespace duoscope
