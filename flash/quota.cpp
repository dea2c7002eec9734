#include "quota.h"

#include <algorithm>

namespace flash {

JobQuota::JobQuota(int quantity, const QSet<QString> &passed, int passesWithoutSerial)
    : m_quantity(qMax(0, quantity)), m_passed(passed), m_withoutSerial(passesWithoutSerial)
{
}

bool JobQuota::alreadyPassed(const QString &serial) const
{
    return !serial.isEmpty() && m_passed.contains(serial);
}

JobQuota::Decision JobQuota::request(int slot, const QString &serial)
{
    if (m_places.contains(slot))
        return Decision::Start;
    if (alreadyPassed(serial))
        return Decision::AlreadyDone;
    if (complete())
        return Decision::Complete;
    // Two units reporting one serial number: the second is judged once the first has ended.
    if (!serial.isEmpty() &&
        std::find(m_places.cbegin(), m_places.cend(), serial) != m_places.cend())
        return Decision::Wait;
    if (m_quantity > 0 && passed() + inProgress() >= m_quantity)
        return Decision::Wait;
    m_places.insert(slot, serial);
    return Decision::Start;
}

void JobQuota::finished(int slot, bool passed, const QString &serialAfter)
{
    if (!m_places.contains(slot))
        return;
    const QString asked = m_places.take(slot);
    const QString serial = asked.isEmpty() ? serialAfter : asked;
    if (passed && serial.isEmpty())
        ++m_withoutSerial;
    else if (passed)
        m_passed.insert(serial);
    ++m_generation;
}

void JobQuota::cancelled(int slot)
{
    if (m_places.remove(slot) > 0)
        ++m_generation;
}

} // namespace flash
