// MPEG-2 transport stream basics shared by ingest, storage and delivery: the parsed 188-byte
// packet record with its parser and writer, the one-program PAT generator, the PES header
// parser, the section CRC check, and the descriptor and stream objects handed out by the PMT.
// Nothing here logs; every failure is a boolean result. Bit fields are those of ISO/IEC 13818-1.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr int kMvTSPacketSize = 188;
constexpr uint8_t kMvTSSyncByte = 0x47;
constexpr uint16_t kMvTSNullPID = 0x1FFF;

// One parsed transport packet. Plain data (the segmenter keeps it inside malloc'ed records):
// it does not own the packet bytes, and its pointers are valid only while the 188 bytes it
// was parsed from are.
struct MvDVBTSPacket {
    uint8_t sync_byte;
    uint8_t transport_error_indicator;
    uint8_t payload_unit_start_indicator;
    uint8_t transport_priority;
    uint16_t PID;
    uint8_t transport_scrambling_control;
    uint8_t adaptation_field_control;
    uint8_t continuity_counter;

    // Adaptation field (adaptation_field_control bit 1).
    uint8_t adaptation_field_length;
    uint8_t discontinuity_indicator;
    uint8_t random_access_indicator;
    uint8_t elementary_stream_priority_indicator;
    uint8_t PCR_flag;
    uint8_t OPCR_flag;
    uint8_t splicing_point_flag;
    uint8_t transport_private_data_flag;
    uint8_t adaptation_field_extension_flag;
    uint64_t program_clock_reference_base;            // 33 bits
    uint16_t program_clock_reference_extension;       // 9 bits
    uint64_t original_program_clock_reference_base;   // 33 bits
    uint16_t original_program_clock_reference_extension;
    uint8_t splice_countdown;
    uint8_t transport_private_data_length;
    const uint8_t* private_data_byte;  // into the packet

    // Adaptation field extension.
    uint8_t adaptation_field_extension_length;
    uint8_t ltw_flag;
    uint8_t piecewise_rate_flag;
    uint8_t seamless_splice_flag;
    uint8_t ltw_valid_flag;
    uint16_t ltw_offset;       // 15 bits
    uint32_t piecewise_rate;   // 22 bits
    uint8_t splice_type;       // 4 bits
    uint64_t DTS_next_AU;      // 33 bits

    const uint8_t* payload;    // first byte after the adaptation field
    uint8_t payload_length;    // bytes from payload to the end of the packet
};

// Parses one 188-byte packet into ts (cleared first). False when the adaptation field length
// is illegal for the adaptation_field_control or a field would run past byte 187; the fields
// read so far stay in ts. The sync byte is not checked.
bool MvDVBParseTS(const uint8_t* packet, MvDVBTSPacket* ts);

// Writes the packet described by ts into out (188 bytes). Stuffing bytes are not written:
// between the last adaptation field byte and the payload, out keeps what it held. Fields that
// would not fit and payload bytes past the end of the packet are cut off. Always true.
bool MvDVBCreateTS(uint8_t* out, const MvDVBTSPacket* ts);

// Writes a complete PAT packet (continuity counter 0) for one program into out (188 bytes).
bool MvDVBCreatePAT(uint8_t* out, uint16_t programNumber, uint16_t pmtPid, uint8_t version);

// A parsed PES header.
struct MvDVBPESHdr {
    uint32_t packet_start_code_prefix;  // valid header: 0x000001
    uint8_t stream_id;
    uint16_t PES_packet_length;
    uint8_t PES_scrambling_control;
    uint8_t PES_priority;
    uint8_t data_alignment_indicator;
    uint8_t copyright;
    uint8_t original_or_copy;
    uint8_t PTS_DTS_flags;
    uint8_t ESCR_flag;
    uint8_t ES_rate_flag;
    uint8_t DSM_trick_mode_flag;
    uint8_t additional_copy_info_flag;
    uint8_t PES_CRC_flag;
    uint8_t PES_extension_flag;
    uint8_t PES_header_data_length;
    uint64_t PTS;  // 33 bits, PTS_DTS_flags 2 or 3
    uint64_t DTS;  // 33 bits, PTS_DTS_flags 3

    // Full parse only.
    uint64_t ESCR_base;  // 33 bits
    uint16_t ESCR_extension;
    uint32_t ES_rate;    // 22 bits
    uint8_t trick_mode_control;
    uint8_t field_id;
    uint8_t intra_slice_refresh;
    uint8_t frequency_truncation;
    uint8_t rep_cntrl;
    uint8_t additional_copy_info;
    uint16_t previous_PES_packet_CRC;
    uint8_t PES_private_data_flag;
    uint8_t pack_header_field_flag;
    uint8_t program_packet_sequence_counter_flag;
    uint8_t P_STD_buffer_flag;
    uint8_t PES_extension_flag_2;
    const uint8_t* PES_private_data;  // 16 bytes, into the data
    uint8_t pack_field_length;
    const uint8_t* pack_header;       // pack_field_length bytes, into the data
    uint8_t program_packet_sequence_counter;
    uint8_t MPEG1_MPEG2_identifier;
    uint8_t original_stuff_length;
    uint8_t P_STD_buffer_scale;
    uint16_t P_STD_buffer_size;
    uint8_t PES_extension_field_length;
    uint8_t stream_id_extension_flag;
    uint8_t stream_id_extension;
    const uint8_t* payload;  // first byte after the header (9 + PES_header_data_length)
    int32_t payload_length;  // bytes from payload to the end of the data
};

// Parses a PES header at the start of data. False when the data ends before a field that is
// read (in full mode: before the end of the header) or the start code prefix is not 0x000001.
// ptsOnly stops after PTS/DTS; payload and payload_length are then not set.
bool MvDVBParsePES(const uint8_t* data, int length, MvDVBPESHdr* hdr, bool ptsOnly);

// True when length >= 4 and the CRC-32/MPEG-2 of the first length - 4 bytes equals the last
// four bytes (big-endian).
bool MvDVBValidCRC(const uint8_t* section, int length);

// A descriptor as found in a PMT: tag and data bytes (without tag and length).
class MvDVBDesc {
public:
    MvDVBDesc() = default;
    MvDVBDesc(uint8_t descTag, const uint8_t* bytes, int length);
    virtual ~MvDVBDesc() = default;
    virtual MvDVBDesc* Duplicate() const;

    uint8_t tag = 0;
    std::vector<uint8_t> data;
};

// A conditional-access descriptor (tag 9) read from a generic descriptor.
class MvDVBDescCA {
public:
    MvDVBDescCA() = default;
    explicit MvDVBDescCA(const MvDVBDesc* desc);
    virtual ~MvDVBDescCA() = default;
    virtual MvDVBDescCA* Duplicate() const;

    uint8_t tag = 0;                 // 9, or 0 when not built from a CA descriptor
    uint16_t CA_system_ID = 0xFFFF;
    uint16_t CA_PID = 0xFFFF;        // 13 bits
    std::vector<uint8_t> private_data;
};

// One elementary stream entry of a PMT; owns its descriptors.
class MvDVBStrm {
public:
    MvDVBStrm() = default;
    MvDVBStrm(const MvDVBStrm&) = delete;
    MvDVBStrm& operator=(const MvDVBStrm&) = delete;
    virtual ~MvDVBStrm();
    virtual MvDVBStrm* Duplicate() const;

    uint8_t stream_type = 0;
    uint16_t elementary_PID = 0;
    std::vector<MvDVBDesc*> descriptors;
};

// Which sections of a table have passed their checks, and which belong to it (0 to
// last_section_number of the first accepted section).
struct MvDVBSecChecks {
    std::bitset<256> seen;
    std::bitset<256> expected;
    void Clear() {
        seen.reset();
        expected.reset();
    }
    void Add(uint8_t section, uint8_t last) {
        if (expected.none())
            for (int i = 0; i <= last; ++i) expected.set(static_cast<size_t>(i));
        seen.set(section);
    }
    bool Ready() const { return expected.any() && expected == seen; }
};
