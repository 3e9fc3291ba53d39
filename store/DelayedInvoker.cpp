#include "DelayedInvoker.h"

#include <QTimer>

DelayedInvoker* delayedInvoker = nullptr;

DelayedInvoker::DelayedInvoker(QObject* i_parent) : QObject(i_parent)
{
    delayedInvoker = this;
}

DelayedInvoker::~DelayedInvoker()
{
    if (delayedInvoker == this)
        delayedInvoker = nullptr;
}

void DelayedInvoker::Invoke(QObject* i_target, const QString& i_slot, int i_delay)
{
    const Target l_target(i_target, i_slot);
    if (m_timers.contains(l_target))
        return;

    QTimer* lp_timer = new QTimer(this);
    connect(lp_timer, &QTimer::timeout, this, &DelayedInvoker::OnTimeout);
    // The slot arrives as text, so only the text form of connect can reach it.
    QObject::connect(lp_timer, SIGNAL(timeout()), i_target, i_slot.toLatin1().constData());
    lp_timer->setSingleShot(true);
    lp_timer->setInterval(i_delay);

    // A target destroyed while its call is pending must be forgotten: another object may be
    // created at the same address and would otherwise find its requests dropped.
    if (!HasPending(i_target))
        connect(i_target, &QObject::destroyed, this, &DelayedInvoker::OnTargetDestroyed);

    m_timers.insert(l_target, lp_timer);
    m_targets.insert(lp_timer, l_target);
    lp_timer->start();
}

void DelayedInvoker::OnTimeout()
{
    QTimer* lp_timer = qobject_cast<QTimer*>(sender());
    const auto l_it = m_targets.find(lp_timer);
    if (l_it == m_targets.end())
        return;
    const Target l_target = l_it.value();
    m_targets.erase(l_it);
    m_timers.remove(l_target);
    // The timer still has to deliver this timeout to the target's slot.
    lp_timer->deleteLater();

    if (!HasPending(l_target.first))
        disconnect(l_target.first, &QObject::destroyed, this, &DelayedInvoker::OnTargetDestroyed);
}

bool DelayedInvoker::HasPending(QObject* i_target) const
{
    const auto l_it = m_timers.lowerBound(Target(i_target, QString()));
    return l_it != m_timers.cend() && l_it.key().first == i_target;
}

void DelayedInvoker::OnTargetDestroyed(QObject* i_target)
{
    auto l_it = m_timers.lowerBound(Target(i_target, QString()));
    while (l_it != m_timers.end() && l_it.key().first == i_target)
    {
        QTimer* lp_timer = l_it.value();
        m_targets.remove(lp_timer);
        l_it = m_timers.erase(l_it);
        delete lp_timer;
    }
}
