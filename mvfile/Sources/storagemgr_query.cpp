// The storage manager's answers to the delivery and ingest paths: nearest data beside a gap,
// time and PTS to GOP number, byte sizes of GOP ranges, the HLS range, and the sub-streams of a
// content with their bitrates and segment durations.
#include <cstdint>

#include "cfg.h"
#include "mvlogger.h"
#include "storagemgr.h"

namespace {

// Sub-streams are one byte of the identifier.
constexpr uint32_t kMaxSubStreams = 256;
// A live sub-stream whose newest GOP arrived longer ago than this is not offered.
constexpr int32_t kSubStreamStaleSecs = 60;

}  // namespace

bool HSCStorageManager::NearestByTime(HSCCIDInfo* record, MvTime t, bool forward, uint64_t& gop,
                                      MvTime& time) {
    gop = 0;
    time = 0;
    if (record == nullptr || IsTerminating()) return false;
    record->NearestDataForTime(t, forward, gop, time);
    return gop != 0;
}

bool HSCStorageManager::NearestByGOP(HSCCIDInfo* record, uint64_t n, bool forward, uint64_t count,
                                     uint64_t& gop, MvTime& time) {
    if (record == nullptr || IsTerminating()) return false;
    if (count > 1) {
        uint64_t half = count / 2;
        if (forward)
            n = n > UINT64_MAX - half ? UINT64_MAX : n + half;
        else
            n = n > half ? n - half : 0;
    }
    // Searched into locals so that the result tells whether anything was found; the caller's
    // outputs are written only then, as NearestDataForGop itself does.
    uint64_t foundGop = 0;
    MvTime foundTime = 0;
    record->NearestDataForGop(n, forward, foundGop, foundTime);
    if (foundGop == 0 || foundTime == 0) return false;
    gop = foundGop;
    time = foundTime;
    return true;
}

uint64_t HSCStorageManager::TranslateGOP(HSCCIDInfo* record, MvTime t) {
    if (record == nullptr || IsTerminating()) return 0;
    HSCSingleChunk* block = record->GetChunkIDForTime(t);
    return block == nullptr ? 0 : block->FindNearestGOP(t);
}

uint64_t HSCStorageManager::TranslateGOPX(HSCCIDInfo* record, MvTime t, bool) {
    return TranslateGOP(record, t);
}

uint64_t HSCStorageManager::TranslatePTS(HSCCIDInfo* record, uint64_t pts, uint64_t tolerance) {
    if (record == nullptr || IsTerminating()) return 0;
    uint64_t distance = 0;
    return record->GetChunkIDForPTS(pts, tolerance, distance);
}

uint64_t HSCStorageManager::TranslateGOPY(HSCCIDInfo* record, uint64_t pts, uint64_t tolerance) {
    return TranslatePTS(record, pts, tolerance);
}

bool HSCStorageManager::RelocateGOPID(HSCCIDInfo*, uint64_t&, bool) { return !IsTerminating(); }

bool HSCStorageManager::CalcSize(tagMvCID cid, uint64_t first, uint64_t last, uint64_t& size) {
    if (IsTerminating()) return false;
    size = 0;
    HSCCIDInfo* record = GetCIDInfoNOS(cid);
    if (record == nullptr || last < first) return false;
    const tagMvCID owner = record->GetCID();
    uint64_t total = 0;
    HSCSingleChunk* block = nullptr;
    for (uint64_t n = first;; ++n) {
        // Consecutive GOPs are mostly in the same block: look the chain up only when leaving it.
        if (block == nullptr || block->GetContentID() != owner || n < block->GetStartGOPID() ||
            n > block->GetEndGOPID()) {
            bool isFirst = false;
            block = record->GetChunkForGopID(n, isFirst);
            if (block == nullptr) return false;
        }
        uint64_t gopSize = 0;
        if (!block->GOPSizeFixed(n, gopSize)) {
            MVLOGI("[HLS] CONT(%llu), S(%llu), E(%llu), G(%llu)",
                   static_cast<unsigned long long>(cid), static_cast<unsigned long long>(first),
                   static_cast<unsigned long long>(last), static_cast<unsigned long long>(n));
            return false;
        }
        total += gopSize;
        if (n == last) break;
    }
    size = total;
    return total != 0;
}

bool HSCStorageManager::HLSRange(tagMvCID cid, uint64_t& first, uint64_t& last) {
    if (IsTerminating()) return false;
    HSCCIDInfo* record = GetCIDInfoNOS(cid);
    if (record == nullptr) return false;
    first = 0;
    last = 0;
    const uint64_t newest = record->m_lastGOP.load(std::memory_order_acquire);
    if (newest == 0) return false;
    if (MvIsVOD(MvCIDContent(cid))) {
        first = 1;
        last = newest;
        return true;
    }
    const ITGMainConf* conf = ITGGetMainConf();
    if (conf->HLSSEGMENTGOPS < 1 || conf->HLSSEGMENTCOUNT < 0) return false;
    const uint64_t g = static_cast<uint64_t>(conf->HLSSEGMENTGOPS);
    const uint64_t c = static_cast<uint64_t>(conf->HLSSEGMENTCOUNT);
    // The window ends at the last complete segment boundary before the newest one and spans c
    // segments; a content younger than c + 2 segments has no such window (the unsigned
    // arithmetic would wrap or start at GOP 0).
    if (newest / g < c + 2) return false;
    last = g * (newest / g - 1);
    first = last - g * c;
    return true;
}

uint32_t HSCStorageManager::ContentSubCountMvCID(tagMvCID cid) {
    const bool vod = MvIsVOD(MvCIDContent(cid));
    const MvTime now = vod ? 0 : MvTimeNow();
    uint32_t count = 0;
    for (uint32_t sub = 0; sub < kMaxSubStreams; ++sub) {
        HSCCIDInfo* record = GetCIDInfoNOS(MvCIDWithSubStream(cid, sub));
        if (record == nullptr) break;
        if (!vod) {
            MvTime received = record->m_lastReceived.load(std::memory_order_acquire);
            if (received == 0 || MvTimeDiffSecs(received, now) > kSubStreamStaleSecs) break;
        }
        ++count;
    }
    return count;
}

void HSCStorageManager::FixContentSubMvCID(tagMvCID& cid) {
    uint32_t count = ContentSubCountMvCID(cid);
    uint32_t highest = count == 0 ? 0 : count - 1;
    if (MvCIDSubStream(cid) > highest) cid = MvCIDWithSubStream(cid, highest);
    if (HSCCIDInfo* record = GetCIDInfoNOS(cid)) {
        cid = record->GetCID();
    } else {
        MVLOGI("---->>>>FIXING MAX SUB FOR CONTENT(%u)(%u)(%u)->NO CID AVAILABLE", MV_CID_ARGS(cid));
    }
}

bool HSCStorageManager::LoadContentBitratres(tagMvCID cid, std::vector<MvContentSub>& out) {
    uint32_t count = ContentSubCountMvCID(cid);
    for (uint32_t sub = 0; sub < count; ++sub) {
        HSCCIDInfo* record = GetCIDInfoNOS(MvCIDWithSubStream(cid, sub));
        if (record == nullptr) break;
        MvContentSub entry;
        entry.bitrate = record->m_bitrate.load(std::memory_order_relaxed);
        entry.segmentDuration = record->m_segmentDuration.load(std::memory_order_relaxed);
        out.push_back(entry);
    }
    return true;
}

bool MvHLSLoadContentBitratres(tagMvCID cid, std::vector<MvContentSub>& out) {
    HSCStorageManager* manager = HSCGetChunkManager();
    if (manager == nullptr) return true;
    return manager->LoadContentBitratres(cid, out);
}

double MvHLSContentSegmentDuration(tagMvCID cid) {
    if (MvIsVOD(MvCIDContent(cid))) return ITGGetMainConf()->HLSSEGMENTDURATION;
    HSCStorageManager* manager = HSCGetChunkManager();
    HSCCIDInfo* record = manager != nullptr ? manager->GetCIDInfoNOS(cid) : nullptr;
    return record == nullptr ? 0.0 : record->m_segmentDuration.load(std::memory_order_relaxed);
}
