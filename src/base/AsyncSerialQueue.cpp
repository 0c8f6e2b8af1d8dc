#include "AsyncSerialQueue.h"

#include <QMetaObject>

bool AsyncSerialQueue::tryTakeAtOnce()
{
    if (m_busy)
        return false;
    m_busy = true;
    return true;
}

void AsyncSerialQueue::release()
{
    if (m_waiting.empty()) {
        m_busy = false;
        return;
    }
    // The queue stays busy: the turn passes straight to the oldest waiting operation, so a newcomer that
    // asks in between cannot overtake it.
    const std::coroutine_handle<> next = m_waiting.front();
    m_waiting.pop_front();
    QMetaObject::invokeMethod(
        &m_context, [next] { next.resume(); }, Qt::QueuedConnection);
}
