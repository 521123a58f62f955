// Keeps the machine from suspending or idling into sleep while a conversion
// runs: a logind inhibitor lock ("sleep:idle", mode "block") taken over D-Bus
// and held as the file descriptor logind returns; closing it releases the lock.
// Uses the system bus; tests hand in a bus of their own. Main thread only.
#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace duoscope {

class SleepInhibitor : public QObject {
  public:
    explicit SleepInhibitor(QObject* parent = nullptr) : QObject(parent) {}
    ~SleepInhibitor() override { release(); }

    // The bus that logind is asked on; the system bus unless set.
    void setBus(const QDBusConnection& bus) { bus_ = bus; }
    // One line for the log when no lock can be had.
    std::function<void(const QString& line)> onWarning;

    // Asks for a lock whose reason is `why`. A lock already held stays until
    // the new one is granted, so the machine is never left unguarded between
    // files. Does not wait for logind.
    void hold(const QString& why);
    // Gives the lock up at once; a request still on its way is dropped on arrival.
    void release();
    bool isHeld() const { return lock_.isValid(); }

  private:
    QDBusConnection bus() const;

    std::optional<QDBusConnection> bus_;
    QDBusUnixFileDescriptor lock_;
    QString heldReason_;
    quint64 request_ = 0;
    bool hasWarned_ = false;
};

} // namespace duoscope
