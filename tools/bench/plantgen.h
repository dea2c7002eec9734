#pragma once

#include <QByteArray>
#include <QString>

#include <random>

// Synthetic record lines of a plant's stations, as pelmar-flash --station writes them with a job:
// mostly passes, every failure class, skips, devices plugged in again after a failure, a flaky
// slot on some stations, several jobs. Seeded: the same seed gives the same lines.
class PlantGenerator
{
public:
    explicit PlantGenerator(unsigned seed) : m_rng(seed) {}

    // The next attempt of `station` (0-based) at `timeMs`; its id is `id` (empty: a fresh one).
    QByteArray line(int station, qint64 timeMs, const QString &id = QString());

private:
    struct Slot
    {
        QString serial;   // a device plugged in again after a failure
        int nextUnit = 0; // serial numbers given out at this slot
    };
    double chance() { return std::uniform_real_distribution<double>(0, 1)(m_rng); }
    QString result(int station, int slot);
    Slot m_slots[64][8];
    int m_next[64] = {};
    qint64 m_sequence = 0;
    std::mt19937 m_rng;
};

// The station's name, e.g. line03-east.
QString stationName(int station);
