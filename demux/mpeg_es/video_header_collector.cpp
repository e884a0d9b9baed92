#include "demux/mpeg_es/video_header_collector.h"

#include <algorithm>

void KVideoHeaderCollector::Begin(DWORD key, BYTE streamId, LONGLONG pts, std::span<const BYTE> bytes)
{
    KCollectedVideo& unit = m_units[key];
    unit.key = key;
    unit.streamId = streamId;
    unit.pts = pts;
    unit.bytes.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), kLimit)));
}

std::optional<KCollectedVideo> KVideoHeaderCollector::Take(DWORD key)
{
    const auto unit = m_units.find(key);
    if (unit == m_units.end())
        return std::nullopt;
    KCollectedVideo taken = std::move(unit->second);
    m_units.erase(unit);
    return taken;
}

std::optional<KCollectedVideo> KVideoHeaderCollector::Continue(DWORD key, std::span<const BYTE> bytes)
{
    const auto unit = m_units.find(key);
    if (unit == m_units.end())
        return std::nullopt;
    std::vector<BYTE>& collected = unit->second.bytes;
    const size_t take = std::min(bytes.size(), kLimit - collected.size());
    collected.insert(collected.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
    if (collected.size() < kLimit)
        return std::nullopt;
    return Take(key);
}

std::vector<KCollectedVideo> KVideoHeaderCollector::TakeAll()
{
    std::vector<KCollectedVideo> units;
    for (auto& [key, unit] : m_units)
        units.push_back(std::move(unit));
    m_units.clear();
    return units;
}
