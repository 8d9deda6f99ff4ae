#include "mvdvbts_misc.h"

#include <cstring>

#include "mvcrc.h"

namespace {

// Reads a 33-bit time stamp laid out as 3 + 15 + 15 bits, each group followed by a marker bit,
// behind 4 prefix bits (PTS, DTS, DTS_next_AU: 5 bytes).
inline uint64_t ReadTimeStamp(const uint8_t* p) {
    return (static_cast<uint64_t>((p[0] >> 1) & 0x07) << 30) |
           (static_cast<uint64_t>(p[1]) << 22) | (static_cast<uint64_t>(p[2] >> 1) << 15) |
           (static_cast<uint64_t>(p[3]) << 7) | static_cast<uint64_t>(p[4] >> 1);
}

// PCR and OPCR: 33-bit base, 6 reserved bits, 9-bit extension (6 bytes).
inline void ReadClock(const uint8_t* p, uint64_t* base, uint16_t* ext) {
    *base = (static_cast<uint64_t>(p[0]) << 25) | (static_cast<uint64_t>(p[1]) << 17) |
            (static_cast<uint64_t>(p[2]) << 9) | (static_cast<uint64_t>(p[3]) << 1) |
            static_cast<uint64_t>(p[4] >> 7);
    *ext = static_cast<uint16_t>(((p[4] & 0x01) << 8) | p[5]);
}

inline void WriteClock(uint8_t* p, uint64_t base, uint16_t ext) {
    p[0] = static_cast<uint8_t>(base >> 25);
    p[1] = static_cast<uint8_t>(base >> 17);
    p[2] = static_cast<uint8_t>(base >> 9);
    p[3] = static_cast<uint8_t>(base >> 1);
    p[4] = static_cast<uint8_t>(((base & 0x01) << 7) | ((ext >> 8) & 0x01));
    p[5] = static_cast<uint8_t>(ext);
}

// Time stamp with the given 4 prefix bits; marker bits are written as 0 like every other
// reserved or marker bit the writer produces.
inline void WriteTimeStamp(uint8_t* p, uint8_t prefix, uint64_t ts) {
    p[0] = static_cast<uint8_t>((prefix << 4) | (((ts >> 30) & 0x07) << 1));
    p[1] = static_cast<uint8_t>(ts >> 22);
    p[2] = static_cast<uint8_t>(((ts >> 15) & 0x7F) << 1);
    p[3] = static_cast<uint8_t>(ts >> 7);
    p[4] = static_cast<uint8_t>((ts & 0x7F) << 1);
}

}  // namespace

bool MvDVBParseTS(const uint8_t* p, MvDVBTSPacket* ts) {
    *ts = MvDVBTSPacket{};
    ts->sync_byte = p[0];
    ts->transport_error_indicator = p[1] >> 7;
    ts->payload_unit_start_indicator = (p[1] >> 6) & 0x01;
    ts->transport_priority = (p[1] >> 5) & 0x01;
    ts->PID = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
    ts->transport_scrambling_control = p[3] >> 6;
    ts->adaptation_field_control = (p[3] >> 4) & 0x03;
    ts->continuity_counter = p[3] & 0x0F;

    int payloadAt = 4;
    if (ts->adaptation_field_control & 0x02) {
        const uint8_t afl = p[4];
        ts->adaptation_field_length = afl;
        if (afl != 0) {
            if (ts->adaptation_field_control == 2 ? afl != 183 : afl > 182) return false;
            const uint8_t flags = p[5];
            ts->discontinuity_indicator = flags >> 7;
            ts->random_access_indicator = (flags >> 6) & 0x01;
            ts->elementary_stream_priority_indicator = (flags >> 5) & 0x01;
            ts->PCR_flag = (flags >> 4) & 0x01;
            ts->OPCR_flag = (flags >> 3) & 0x01;
            ts->splicing_point_flag = (flags >> 2) & 0x01;
            ts->transport_private_data_flag = (flags >> 1) & 0x01;
            ts->adaptation_field_extension_flag = flags & 0x01;
            // The fields are bounded by the packet only; whatever they leave of the adaptation
            // field is stuffing, and the payload position follows from its length alone.
            int pos = 6;
            if (ts->PCR_flag) {
                if (pos + 6 > kMvTSPacketSize) return false;
                ReadClock(p + pos, &ts->program_clock_reference_base,
                          &ts->program_clock_reference_extension);
                pos += 6;
            }
            if (ts->OPCR_flag) {
                if (pos + 6 > kMvTSPacketSize) return false;
                ReadClock(p + pos, &ts->original_program_clock_reference_base,
                          &ts->original_program_clock_reference_extension);
                pos += 6;
            }
            if (ts->splicing_point_flag) {
                if (pos + 1 > kMvTSPacketSize) return false;
                ts->splice_countdown = p[pos++];
            }
            if (ts->transport_private_data_flag) {
                if (pos + 1 > kMvTSPacketSize) return false;
                ts->transport_private_data_length = p[pos++];
                if (pos + ts->transport_private_data_length > kMvTSPacketSize) return false;
                ts->private_data_byte = p + pos;
                pos += ts->transport_private_data_length;
            }
            if (ts->adaptation_field_extension_flag) {
                if (pos + 1 > kMvTSPacketSize) return false;
                ts->adaptation_field_extension_length = p[pos++];
                if (ts->adaptation_field_extension_length != 0) {
                    if (pos + 1 > kMvTSPacketSize) return false;
                    const uint8_t ext = p[pos++];
                    ts->ltw_flag = ext >> 7;
                    ts->piecewise_rate_flag = (ext >> 6) & 0x01;
                    ts->seamless_splice_flag = (ext >> 5) & 0x01;
                    if (ts->ltw_flag) {
                        if (pos + 2 > kMvTSPacketSize) return false;
                        ts->ltw_valid_flag = p[pos] >> 7;
                        ts->ltw_offset = static_cast<uint16_t>(((p[pos] & 0x7F) << 8) | p[pos + 1]);
                        pos += 2;
                    }
                    if (ts->piecewise_rate_flag) {
                        if (pos + 3 > kMvTSPacketSize) return false;
                        ts->piecewise_rate = (static_cast<uint32_t>(p[pos] & 0x3F) << 16) |
                                             (static_cast<uint32_t>(p[pos + 1]) << 8) | p[pos + 2];
                        pos += 3;
                    }
                    if (ts->seamless_splice_flag) {
                        if (pos + 5 > kMvTSPacketSize) return false;
                        ts->splice_type = p[pos] >> 4;
                        ts->DTS_next_AU = ReadTimeStamp(p + pos);
                        pos += 5;
                    }
                }
            }
        }
        payloadAt = 5 + afl;
    }
    ts->payload = p + payloadAt;
    ts->payload_length = static_cast<uint8_t>(kMvTSPacketSize - payloadAt);
    return true;
}

bool MvDVBCreateTS(uint8_t* out, const MvDVBTSPacket* ts) {
    out[0] = ts->sync_byte;
    out[1] = static_cast<uint8_t>(((ts->transport_error_indicator & 0x01) << 7) |
                                  ((ts->payload_unit_start_indicator & 0x01) << 6) |
                                  ((ts->transport_priority & 0x01) << 5) | ((ts->PID >> 8) & 0x1F));
    out[2] = static_cast<uint8_t>(ts->PID);
    out[3] = static_cast<uint8_t>(((ts->transport_scrambling_control & 0x03) << 6) |
                                  ((ts->adaptation_field_control & 0x03) << 4) |
                                  (ts->continuity_counter & 0x0F));
    int payloadAt = 4;
    if (ts->adaptation_field_control & 0x02) {
        const int afl = ts->adaptation_field_length;
        out[4] = static_cast<uint8_t>(afl);
        payloadAt = 5 + afl;
        if (afl != 0) {
            out[5] = static_cast<uint8_t>(
                ((ts->discontinuity_indicator & 0x01) << 7) | ((ts->random_access_indicator & 0x01) << 6) |
                ((ts->elementary_stream_priority_indicator & 0x01) << 5) | ((ts->PCR_flag & 0x01) << 4) |
                ((ts->OPCR_flag & 0x01) << 3) | ((ts->splicing_point_flag & 0x01) << 2) |
                ((ts->transport_private_data_flag & 0x01) << 1) |
                (ts->adaptation_field_extension_flag & 0x01));
            // Each field is written only when it fits in the packet; the record may come from
            // anywhere, the output buffer is 188 bytes.
            int pos = 6;
            if (ts->PCR_flag && pos + 6 <= kMvTSPacketSize) {
                WriteClock(out + pos, ts->program_clock_reference_base,
                           ts->program_clock_reference_extension);
                pos += 6;
            }
            if (ts->OPCR_flag && pos + 6 <= kMvTSPacketSize) {
                WriteClock(out + pos, ts->original_program_clock_reference_base,
                           ts->original_program_clock_reference_extension);
                pos += 6;
            }
            if (ts->splicing_point_flag && pos + 1 <= kMvTSPacketSize) out[pos++] = ts->splice_countdown;
            if (ts->transport_private_data_flag && pos + 1 <= kMvTSPacketSize) {
                out[pos++] = ts->transport_private_data_length;
                int n = ts->transport_private_data_length;
                if (n > kMvTSPacketSize - pos) n = kMvTSPacketSize - pos;
                if (ts->private_data_byte != nullptr && n > 0)
                    memmove(out + pos, ts->private_data_byte, static_cast<size_t>(n));
                pos += n;
            }
            if (ts->adaptation_field_extension_flag && pos + 1 <= kMvTSPacketSize) {
                out[pos++] = ts->adaptation_field_extension_length;
                if (pos + 1 <= kMvTSPacketSize) {
                    out[pos++] = static_cast<uint8_t>(((ts->ltw_flag & 0x01) << 7) |
                                                      ((ts->piecewise_rate_flag & 0x01) << 6) |
                                                      ((ts->seamless_splice_flag & 0x01) << 5));
                    if (ts->ltw_flag && pos + 2 <= kMvTSPacketSize) {
                        out[pos] = static_cast<uint8_t>(((ts->ltw_valid_flag & 0x01) << 7) |
                                                        ((ts->ltw_offset >> 8) & 0x7F));
                        out[pos + 1] = static_cast<uint8_t>(ts->ltw_offset);
                        pos += 2;
                    }
                    if (ts->piecewise_rate_flag && pos + 3 <= kMvTSPacketSize) {
                        out[pos] = static_cast<uint8_t>((ts->piecewise_rate >> 16) & 0x3F);
                        out[pos + 1] = static_cast<uint8_t>(ts->piecewise_rate >> 8);
                        out[pos + 2] = static_cast<uint8_t>(ts->piecewise_rate);
                        pos += 3;
                    }
                    if (ts->seamless_splice_flag && pos + 5 <= kMvTSPacketSize) {
                        WriteTimeStamp(out + pos, ts->splice_type & 0x0F, ts->DTS_next_AU);
                        pos += 5;
                    }
                }
            }
        }
    }
    if (payloadAt < kMvTSPacketSize && ts->payload != nullptr) {
        int n = ts->payload_length;
        if (n > kMvTSPacketSize - payloadAt) n = kMvTSPacketSize - payloadAt;
        if (n > 0) memmove(out + payloadAt, ts->payload, static_cast<size_t>(n));
    }
    return true;
}

bool MvDVBCreatePAT(uint8_t* out, uint16_t programNumber, uint16_t pmtPid, uint8_t version) {
    out[0] = kMvTSSyncByte;
    out[1] = 0x40;
    out[2] = 0x00;
    out[3] = 0x30;
    out[4] = 166;
    out[5] = 0x00;
    memset(out + 6, 0xFF, 165);
    out[171] = 0x00;  // pointer_field
    uint8_t* s = out + 172;
    s[0] = 0x00;  // table_id
    s[1] = 0xB0;
    s[2] = 0x0D;  // section_length 13
    s[3] = 0x00;
    s[4] = 0x00;  // transport_stream_id 0
    s[5] = static_cast<uint8_t>(0xC1 | ((version & 0x1F) << 1));
    s[6] = 0x00;
    s[7] = 0x00;
    s[8] = static_cast<uint8_t>(programNumber >> 8);
    s[9] = static_cast<uint8_t>(programNumber);
    s[10] = static_cast<uint8_t>(0xE0 | ((pmtPid >> 8) & 0x1F));
    s[11] = static_cast<uint8_t>(pmtPid);
    const uint32_t crc = MvCalcCRC32(s, 12);
    s[12] = static_cast<uint8_t>(crc >> 24);
    s[13] = static_cast<uint8_t>(crc >> 16);
    s[14] = static_cast<uint8_t>(crc >> 8);
    s[15] = static_cast<uint8_t>(crc);
    return true;
}

bool MvDVBParsePES(const uint8_t* d, int length, MvDVBPESHdr* h, bool ptsOnly) {
    *h = MvDVBPESHdr{};
    if (d == nullptr || length < 9) {
        // Keep what could be read, as a bit reader would have.
        if (d != nullptr && length >= 3)
            h->packet_start_code_prefix = (static_cast<uint32_t>(d[0]) << 16) | (d[1] << 8) | d[2];
        if (d != nullptr && length >= 4) h->stream_id = d[3];
        return false;
    }
    h->packet_start_code_prefix = (static_cast<uint32_t>(d[0]) << 16) | (d[1] << 8) | d[2];
    h->stream_id = d[3];
    h->PES_packet_length = static_cast<uint16_t>((d[4] << 8) | d[5]);
    h->PES_scrambling_control = (d[6] >> 4) & 0x03;
    h->PES_priority = (d[6] >> 3) & 0x01;
    h->data_alignment_indicator = (d[6] >> 2) & 0x01;
    h->copyright = (d[6] >> 1) & 0x01;
    h->original_or_copy = d[6] & 0x01;
    h->PTS_DTS_flags = d[7] >> 6;
    h->ESCR_flag = (d[7] >> 5) & 0x01;
    h->ES_rate_flag = (d[7] >> 4) & 0x01;
    h->DSM_trick_mode_flag = (d[7] >> 3) & 0x01;
    h->additional_copy_info_flag = (d[7] >> 2) & 0x01;
    h->PES_CRC_flag = (d[7] >> 1) & 0x01;
    h->PES_extension_flag = d[7] & 0x01;
    h->PES_header_data_length = d[8];

    int pos = 9;
    if (h->PTS_DTS_flags >= 2) {
        if (pos + 5 > length) return false;
        h->PTS = ReadTimeStamp(d + pos);
        pos += 5;
        if (h->PTS_DTS_flags == 3) {
            if (pos + 5 > length) return false;
            h->DTS = ReadTimeStamp(d + pos);
            pos += 5;
        }
    }
    if (!ptsOnly) {
        if (h->ESCR_flag) {
            if (pos + 6 > length) return false;
            const uint8_t* e = d + pos;
            h->ESCR_base = (static_cast<uint64_t>((e[0] >> 3) & 0x07) << 30) |
                           (static_cast<uint64_t>(e[0] & 0x03) << 28) | (static_cast<uint64_t>(e[1]) << 20) |
                           (static_cast<uint64_t>(e[2] >> 3) << 15) |
                           (static_cast<uint64_t>(e[2] & 0x03) << 13) | (static_cast<uint64_t>(e[3]) << 5) |
                           static_cast<uint64_t>(e[4] >> 3);
            h->ESCR_extension = static_cast<uint16_t>(((e[4] & 0x03) << 7) | (e[5] >> 1));
            pos += 6;
        }
        if (h->ES_rate_flag) {
            if (pos + 3 > length) return false;
            h->ES_rate = (static_cast<uint32_t>(d[pos] & 0x7F) << 15) | (static_cast<uint32_t>(d[pos + 1]) << 7) |
                         static_cast<uint32_t>(d[pos + 2] >> 1);
            pos += 3;
        }
        if (h->DSM_trick_mode_flag) {
            if (pos + 1 > length) return false;
            const uint8_t t = d[pos++];
            h->trick_mode_control = t >> 5;
            switch (h->trick_mode_control) {
                case 0:  // fast forward
                case 3:  // fast reverse
                    h->field_id = (t >> 3) & 0x03;
                    h->intra_slice_refresh = (t >> 2) & 0x01;
                    h->frequency_truncation = t & 0x03;
                    break;
                case 1:  // slow motion
                case 4:  // slow reverse
                    h->rep_cntrl = t & 0x1F;
                    break;
                case 2:  // freeze frame
                    h->field_id = (t >> 3) & 0x03;
                    break;
                default:
                    break;
            }
        }
        if (h->additional_copy_info_flag) {
            if (pos + 1 > length) return false;
            h->additional_copy_info = d[pos++] & 0x7F;
        }
        if (h->PES_CRC_flag) {
            if (pos + 2 > length) return false;
            h->previous_PES_packet_CRC = static_cast<uint16_t>((d[pos] << 8) | d[pos + 1]);
            pos += 2;
        }
        if (h->PES_extension_flag) {
            if (pos + 1 > length) return false;
            const uint8_t x = d[pos++];
            h->PES_private_data_flag = x >> 7;
            h->pack_header_field_flag = (x >> 6) & 0x01;
            h->program_packet_sequence_counter_flag = (x >> 5) & 0x01;
            h->P_STD_buffer_flag = (x >> 4) & 0x01;
            h->PES_extension_flag_2 = x & 0x01;
            if (h->PES_private_data_flag) {
                if (pos + 16 > length) return false;
                h->PES_private_data = d + pos;
                pos += 16;
            }
            if (h->pack_header_field_flag) {
                if (pos + 1 > length) return false;
                h->pack_field_length = d[pos++];
                if (pos + h->pack_field_length > length) return false;
                h->pack_header = d + pos;
                pos += h->pack_field_length;
            }
            if (h->program_packet_sequence_counter_flag) {
                if (pos + 2 > length) return false;
                h->program_packet_sequence_counter = d[pos] & 0x7F;
                h->MPEG1_MPEG2_identifier = (d[pos + 1] >> 6) & 0x01;
                h->original_stuff_length = d[pos + 1] & 0x3F;
                pos += 2;
            }
            if (h->P_STD_buffer_flag) {
                if (pos + 2 > length) return false;
                h->P_STD_buffer_scale = (d[pos] >> 5) & 0x01;
                h->P_STD_buffer_size = static_cast<uint16_t>(((d[pos] & 0x1F) << 8) | d[pos + 1]);
                pos += 2;
            }
            if (h->PES_extension_flag_2) {
                if (pos + 1 > length) return false;
                h->PES_extension_field_length = d[pos++] & 0x7F;
                if (pos + h->PES_extension_field_length > length) return false;
                if (h->PES_extension_field_length > 0) {
                    h->stream_id_extension_flag = d[pos] >> 7;
                    if (!h->stream_id_extension_flag) h->stream_id_extension = d[pos] & 0x7F;
                }
                pos += h->PES_extension_field_length;
            }
        }
        // The payload follows the header data, whatever the optional fields occupied.
        const int payloadAt = 9 + h->PES_header_data_length;
        if (payloadAt > length) return false;
        h->payload = d + payloadAt;
        h->payload_length = length - payloadAt;
    }
    return h->packet_start_code_prefix == 0x000001;
}

bool MvDVBValidCRC(const uint8_t* section, int length) {
    if (section == nullptr || length < 4) return false;
    const uint8_t* c = section + length - 4;
    const uint32_t stored = (static_cast<uint32_t>(c[0]) << 24) | (static_cast<uint32_t>(c[1]) << 16) |
                            (static_cast<uint32_t>(c[2]) << 8) | c[3];
    return MvCalcCRC32(section, length - 4) == stored;
}

MvDVBDesc::MvDVBDesc(uint8_t descTag, const uint8_t* bytes, int length) : tag(descTag) {
    if (bytes != nullptr && length > 0) data.assign(bytes, bytes + length);
}

MvDVBDesc* MvDVBDesc::Duplicate() const { return new MvDVBDesc(*this); }

MvDVBDescCA::MvDVBDescCA(const MvDVBDesc* desc) {
    if (desc == nullptr || desc->tag != 9) return;
    tag = 9;
    const std::vector<uint8_t>& d = desc->data;
    const size_t n = d.size();
    // A short descriptor keeps the bits read so far, MSB first: CA_system_ID from 0, CA_PID
    // from 0xFFFF until its first bit (after 3 reserved bits) can be read.
    CA_system_ID = 0;
    if (n >= 1) CA_system_ID = d[0];
    if (n >= 2) CA_system_ID = static_cast<uint16_t>((d[0] << 8) | d[1]);
    if (n >= 3) CA_PID = d[2] & 0x1F;
    if (n >= 4) CA_PID = static_cast<uint16_t>(((d[2] & 0x1F) << 8) | d[3]);
    if (n > 4) private_data.assign(d.begin() + 4, d.end());
}

MvDVBDescCA* MvDVBDescCA::Duplicate() const { return new MvDVBDescCA(*this); }

MvDVBStrm::~MvDVBStrm() {
    for (MvDVBDesc* d : descriptors) delete d;
}

MvDVBStrm* MvDVBStrm::Duplicate() const {
    auto* copy = new MvDVBStrm;
    copy->stream_type = stream_type;
    copy->elementary_PID = elementary_PID;
    copy->descriptors.reserve(descriptors.size());
    for (const MvDVBDesc* d : descriptors) copy->descriptors.push_back(d->Duplicate());
    return copy;
}
