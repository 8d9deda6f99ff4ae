// Audio placement of the live segmenter: the packets of each audio PID are held until their PES
// is complete and then written into the current GOP in one piece, so that no audio PES straddles
// two GOPs. PES units that complete while the GOP holds only its first two video frames are
// shelved and written just after them.
#include <algorithm>
#include <cstring>

#include "accessor.h"
#include "liveinput_segmenter.h"
#include "mvlogger.h"

void TSSSegmenter::CreateAudioStates() {
    MvDVBPMT pmt;
    MvDVBPMTLoadPackets(&pmt, m_pmtStored.GetData(), m_pmtStored.GetLength());
    std::vector<MvDVBStrm*> streams;
    pmt.GetStreams(&streams);
    uint16_t index = 0;
    for (MvDVBStrm* s : streams) {
        if (MvGetStreamKind(s->stream_type) == kMvStreamAudio) {
            if (m_audio.find(s->elementary_PID) == m_audio.end()) {
                MvAData* a = new MvAData;
                a->pid = s->elementary_PID;
                a->index = index;
                a->codecKind = MvAudioCodecKind(s->stream_type);
                a->language = MvAudioLanguage(*s);
                m_audio[a->pid] = a;
            }
            ++index;
        }
        delete s;
    }
}

void TSSSegmenter::DiscardAudioStates() {
    for (auto& kv : m_audio) delete kv.second;
    m_audio.clear();
}

bool TSSSegmenter::AudioFits(size_t packets) const {
    if (m_gop == nullptr) return true;
    const uint64_t records = (packets + static_cast<size_t>(m_slots) + MV_GOP_RECORD_PACKETS - 1) /
                             MV_GOP_RECORD_PACKETS;
    return static_cast<uint64_t>(m_gop->dataSize) + records * MV_GOP_RECORD_SIZE <= TSS_AUDIO_FIT_LIMIT;
}

void TSSSegmenter::WriteAudioPackets(const MvBuffer& packets, std::vector<MvTSInfo>& index) {
    const uint8_t* p = packets.GetData();
    const size_t n = std::min(index.size(), static_cast<size_t>(packets.GetLength() / MV_TS_PACKET_SIZE));
    for (size_t i = 0; i < n; ++i) WritePacket(p + i * MV_TS_PACKET_SIZE, index[i]);
}

void TSSSegmenter::FinishAudioPes(MvAData* a) {
    MvDVBPESHdr hdr;
    const size_t n = a->pesIndex.size();
    if (!MvDVBParsePES(a->pesBytes.GetData(), a->pesBytes.GetLength(), &hdr, false)) {
        ++m_counters.audioDropped;
        MVLOGE("[LIVE] " MV_CID_FMT " could not parse audio PES for PID(%u), discarding", MV_CID_ARGS(m_cid),
               static_cast<unsigned>(a->pid));
    } else if (m_gop != nullptr && !AudioFits(n)) {
        ++m_counters.audioDropped;
        MVLOGE("[LIVE] " MV_CID_FMT " audio PES for PID(%u) would not fit in GOP: GOP size(%zu), GOP "
               "capacity(%zu), PES transport bytes(%zu), PES transport packets(%zu). discarding. Please "
               "check input source GOP size and structure!",
               MV_CID_ARGS(m_cid), static_cast<unsigned>(a->pid), static_cast<size_t>(m_gop->dataSize),
               static_cast<size_t>(TSS_GOP_CAPACITY), static_cast<size_t>(a->pesPackets.GetLength()), n);
    } else if (m_frames <= 1) {
        // The shelf waits for the GOP's third frame; a stream whose video never gets there
        // would grow it without end, so it never holds more than a GOP could take.
        const size_t shelved = a->shelvedIndex.size();
        const uint64_t records = (shelved + n + MV_GOP_RECORD_PACKETS - 1) / MV_GOP_RECORD_PACKETS;
        if (records * MV_GOP_RECORD_SIZE > TSS_AUDIO_FIT_LIMIT) {
            ++m_counters.audioDropped;
            MVLOGE("[LIVE] " MV_CID_FMT " shelved audio PES for PID(%u) would not fit in GOP: GOP size(%zu), "
                   "GOP capacity(%zu), PES transport bytes(%zu), PES transport packets(%zu). discarding. "
                   "Please check input source GOP size and structure!",
                   MV_CID_ARGS(m_cid), static_cast<unsigned>(a->pid),
                   static_cast<size_t>(m_gop != nullptr ? m_gop->dataSize : 0),
                   static_cast<size_t>(TSS_GOP_CAPACITY), static_cast<size_t>(a->shelvedPackets.GetLength()),
                   shelved);
            a->shelvedPackets.m_length = 0;
            a->shelvedIndex.clear();
        }
        a->shelvedPackets.Add(&a->pesPackets);
        a->shelvedIndex.insert(a->shelvedIndex.end(), a->pesIndex.begin(), a->pesIndex.end());
    } else {
        WriteAudioPackets(a->pesPackets, a->pesIndex);
    }
    a->pesPackets.m_length = 0;
    a->pesBytes.m_length = 0;
    a->pesIndex.clear();
}

void TSSSegmenter::HandleAudio(const MvDVBTSPacketX* x, MvTSInfo info) {
    auto it = m_audio.find(x->packet.PID);
    if (it == m_audio.end()) return;
    MvAData* a = it->second;
    const MvDVBTSPacket& p = x->packet;

    // Shelved PES units go in once the GOP holds more than its key frame and one more frame.
    if (m_gop != nullptr && m_frames > 1 && !a->shelvedIndex.empty()) {
        const size_t n = a->shelvedIndex.size();
        if (AudioFits(n)) {
            WriteAudioPackets(a->shelvedPackets, a->shelvedIndex);
        } else {
            ++m_counters.audioDropped;
            MVLOGE("[LIVE] " MV_CID_FMT " shelved audio PES for PID(%u) would not fit in GOP: GOP size(%zu), "
                   "GOP capacity(%zu), PES transport bytes(%zu), PES transport packets(%zu). discarding. "
                   "Please check input source GOP size and structure!",
                   MV_CID_ARGS(m_cid), static_cast<unsigned>(a->pid), static_cast<size_t>(m_gop->dataSize),
                   static_cast<size_t>(TSS_GOP_CAPACITY), static_cast<size_t>(a->shelvedPackets.GetLength()), n);
        }
        a->shelvedPackets.m_length = 0;
        a->shelvedIndex.clear();
    }

    if (p.payload_unit_start_indicator) {
        a->collecting = true;
        if (a->pesBytes.GetLength() > 0) {
            FinishAudioPes(a);
        } else {
            // Packets without payload alone make no PES.
            a->pesPackets.m_length = 0;
            a->pesIndex.clear();
        }
    }

    if (!a->collecting) return;
    a->pesPackets.Add(x->raw, MV_TS_PACKET_SIZE);
    a->pesIndex.push_back(info);
    if ((p.adaptation_field_control & 0x01) && p.payload != nullptr) {
        const int n = p.payload_length > 184 ? 184 : p.payload_length;
        a->pesBytes.Add(p.payload, n);
    }
    if (a->pesBytes.GetLength() > TSS_AUDIO_PES_MAX ||
        a->pesIndex.size() > static_cast<size_t>(TSS_AUDIO_PES_PACKETS_MAX)) {
        ++m_counters.audioDropped;
        MVLOGW("[LIVE] " MV_CID_FMT " audio PES buffer size for PID(%u) exceeds 16-bit value, discarding",
               MV_CID_ARGS(m_cid), static_cast<unsigned>(a->pid));
        a->pesPackets.m_length = 0;
        a->pesBytes.m_length = 0;
        a->pesIndex.clear();
        a->collecting = false;
    }
}
