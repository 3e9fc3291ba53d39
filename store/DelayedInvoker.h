#pragma once

#include <QMap>
#include <QObject>
#include <QPair>
#include <QString>

class QTimer;

// Calls a slot of an object once after a delay; a request for the same object and slot while
// one is pending is dropped.
class DelayedInvoker : public QObject
{
    Q_OBJECT
public:
    explicit DelayedInvoker(QObject* i_parent);
    ~DelayedInvoker() override;

    // i_slot has the form QObject::connect expects for a slot, e.g. "1Sort()".
    void Invoke(QObject* i_target, const QString& i_slot, int i_delay);

private slots:
    void OnTimeout();
    void OnTargetDestroyed(QObject* i_target);

private:
    bool HasPending(QObject* i_target) const;

    using Target = QPair<QObject*, QString>;
    QMap<Target, QTimer*> m_timers;
    QMap<QTimer*, Target> m_targets;
};

extern DelayedInvoker* delayedInvoker;
