// Helpers of the storage integration tests: media formatted by the storage tool in a scratch
// folder, real GOPs cut from the ffmpeg fixtures with their accessors built (renumbered and
// re-timed so that a run of any length can be recorded), a writer that drives the storage
// manager as the channel's back writer does, and a field-by-field comparison of two GOPs.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../accessor/accessor_helpers.h"
#include "../storage/storage_fixture.h"
#include "cfg.h"
#include "gopcache.h"
#include "mvcommondata.h"
#include "mvstorageformat.h"
#include "mvtime.h"
#include "storageinit.h"
#include "storagemgr.h"

namespace storint {

// ---------------------------------------------------------------------------------------------
// Scratch folder and the storage tool.

// A temporary folder, removed with everything in it (the tests create plain files only).
class Scratch {
public:
    Scratch() {
        const char* dir = getenv("TMPDIR");
        m_path = std::string(dir != nullptr && *dir != 0 ? dir : "/tmp") + "/mvstorint.XXXXXX";
        if (mkdtemp(m_path.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed: " << errno;
    }
    ~Scratch() { Remove(m_path); }
    static void Remove(const std::string& path) {
        if (DIR* d = opendir(path.c_str())) {
            while (dirent* e = readdir(d)) {
                const std::string name = e->d_name;
                if (name != "." && name != "..") unlink((path + "/" + name).c_str());
            }
            closedir(d);
        }
        rmdir(path.c_str());
    }
    // Removes the folder also when the process ends through exit() (a death test's child).
    void RemoveAtExit() const {
        static std::string path;
        path = m_path;
        atexit([] { Remove(path); });
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline std::string ToolPath() {
    return std::string(MV_BINARY_DIR) + "/movrel-vs-storage-tool/movrel-vs-storage-tool";
}

struct ToolResult {
    int status = -1;
    std::string output;
};

// Runs the storage tool in the scratch folder (where it leaves its version stamp file) with the
// given arguments; its output is collected.
inline ToolResult RunTool(const Scratch& scratch, const std::string& args) {
    ToolResult result;
    const std::string log = scratch.File("tool.log");
    const std::string cmd = "cd '" + scratch.Path() + "' && '" + ToolPath() + "' " + args + " >'" +
                            log + "' 2>&1";
    const int raw = std::system(cmd.c_str());
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    if (FILE* f = fopen(log.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), f)) > 0) result.output.append(buf, n);
        fclose(f);
    }
    unlink(log.c_str());
    return result;
}

// Formats `name` in the scratch folder with initfast (headers only: a sparse file) for the
// given storage id; returns its path. "200M" gives 5 blocks, "160M" 3.
inline std::string FormatMedium(const Scratch& scratch, const std::string& name,
                                const std::string& size, uint16_t storageId) {
    const std::string path = scratch.File(name);
    const ToolResult r =
        RunTool(scratch, "'" + path + "' initfast=" + size + " " + std::to_string(storageId));
    EXPECT_EQ(r.status, 0) << r.output;
    return path;
}

// Header of a medium as it is on the file.
inline HSCStorageInfoV3 ReadHeader(const std::string& path) {
    HSCStorageInfoV3 info{};
    uint8_t raw[kHSCStorageInfoSize] = {};
    if (FILE* f = fopen(path.c_str(), "rb")) {
        if (fread(raw, 1, sizeof(raw), f) != sizeof(raw)) ADD_FAILURE() << "short header " << path;
        fclose(f);
    }
    info = HSCDecodeStorageInfo(std::span<const uint8_t, kHSCStorageInfoSize>(raw));
    return info;
}

// Overwrites bytes of a file in place (plain C++ file writes, no format helpers).
inline void PatchFile(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
    FILE* f = fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(fseeko(f, static_cast<off_t>(offset), SEEK_SET), 0);
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    ASSERT_EQ(fclose(f), 0);
}
inline std::vector<uint8_t> ReadFileAt(const std::string& path, uint64_t offset, size_t n) {
    std::vector<uint8_t> out(n);
    FILE* f = fopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr) << path;
    if (f == nullptr) return out;
    EXPECT_EQ(fseeko(f, static_cast<off_t>(offset), SEEK_SET), 0);
    EXPECT_EQ(fread(out.data(), 1, n, f), n);
    fclose(f);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Real GOPs.

// The GOPs of the fixtures, cut as the segmenter cuts them, with their accessors built. Make(n)
// gives an independent copy of template n mod count renumbered n, timed `time` and with its PTS
// (and the frame times of its timing accessors) moved to `pts`; every third GOP also carries an
// ECM packet and CA PIDs, so that every buffer of the extra data is exercised.
class RealGops {
public:
    RealGops() {
        struct Source {
            const char* file;
            uint16_t program;
        };
        const Source sources[] = {{"h264_aac.ts", 0}, {"hevc_ac3.ts", 0}, {"mpeg2_mp2.ts", 0},
                                  {"two_programs.ts", 202}, {"hevc_idr.ts", 0}};
        for (const Source& s : sources) {
            const acctest::Bytes ts = dvbtest::LoadFixture(s.file);
            acctest::Program program;
            if (!acctest::FindProgram(ts, s.program, &program)) {
                ADD_FAILURE() << "no program in " << s.file;
                continue;
            }
            std::vector<acctest::CutGop> cut = acctest::CutIntoGops(ts, program);
            for (acctest::CutGop& c : cut) {
                if (c.gop == nullptr || c.gop->dataSize == 0) continue;
                c.gop->MvBuildAccessors();
                EXPECT_EQ(c.gop->accessorVersion, 1u);
                m_templates.emplace_back(c.gop);
                c.gop = nullptr;
            }
            acctest::FreeGops(cut);
        }
        EXPECT_GE(m_templates.size(), 10u);
    }
    size_t Count() const { return m_templates.size(); }
    const HSCGop& Template(size_t k) const { return *m_templates[k % m_templates.size()]; }

    // A new GOP (refCount 0, owned by the caller).
    HSCGop* Make(uint64_t number, MvTime time, uint64_t pts) const {
        const HSCGop& t = Template(number);
        HSCGop* g = t.Duplicate();
        g->gopId = number;
        g->startTime = time;
        g->extraData.Clean();
        // Every frame time moves with the GOP's PTS (timing entries carry PTS / 2).
        const int64_t delta = static_cast<int64_t>(pts) - static_cast<int64_t>(t.pts);
        g->pts = pts;
        for (auto& [id, acc] : g->accessors)
            for (MvSeqEntry& e : acc->entries)
                if (e.type == MV_SEQ_TIMING)
                    e.c = static_cast<uint32_t>(static_cast<int64_t>(e.c) + delta / 2);
        if (number % 3 == 0) {
            uint8_t ecm[188];
            memset(ecm, static_cast<int>(0x80 + number % 64), sizeof(ecm));
            ecm[0] = 0x47;
            g->ecmPackets.Add(ecm, sizeof(ecm));
            g->ecmPid = 0x1E0;
            g->caPids = {0x1E0, static_cast<uint16_t>(0x1E1 + number % 7)};
            g->RebuildPidSet();
        }
        return g;
    }

private:
    std::vector<std::unique_ptr<HSCGop>> m_templates;
};

// Times and PTS of GOP n of a recorded run: one-second GOPs from kT0.
inline const MvTime kT0 = MvTimeCreate(2024, 5, 6, 7, 8, 9, 0);
inline MvTime RunTime(uint64_t n, uint64_t spacingCs = 100) {
    return MvTimeAddCentiSecs(kT0, (n - 1) * spacingCs);
}
inline uint64_t RunPts(uint64_t n, uint64_t spacingCs = 100) {
    return 900000 + (n - 1) * spacingCs * 900;
}

// ---------------------------------------------------------------------------------------------
// Comparison.

inline std::string Bytes(const MvBuffer& b) {
    return b.GetLength() <= 0 ? std::string()
                              : std::string(reinterpret_cast<const char*>(b.GetData()),
                                            static_cast<size_t>(b.GetLength()));
}

// Every field a GOP keeps on the medium: numbers, times, PTS, sizes, packets, the PAT, PMT and
// ECM packets, the PID summary, the per-packet index and every accessor.
inline void ExpectIdentical(const HSCGop& want, const HSCGop& got, tagMvCID cid) {
    SCOPED_TRACE("GOP " + std::to_string(want.gopId));
    EXPECT_EQ(got.gopId, want.gopId);
    EXPECT_EQ(got.cid, cid);
    EXPECT_EQ(got.startTime, want.startTime);
    EXPECT_EQ(got.pts, want.pts);
    EXPECT_EQ(got.closedSize, want.closedSize);
    EXPECT_EQ(got.spare32, want.spare32);
    EXPECT_EQ(got.spare64, want.spare64);
    ASSERT_EQ(got.dataSize, want.dataSize);
    if (want.dataSize != 0) {
        ASSERT_NE(got.data, nullptr);
        ASSERT_GE(got.mappedSize, got.dataSize);
        EXPECT_EQ(memcmp(got.data, want.data, want.dataSize), 0) << "packet bytes differ";
    }
    EXPECT_EQ(Bytes(got.patPackets), Bytes(want.patPackets));
    EXPECT_EQ(Bytes(got.pmtPackets), Bytes(want.pmtPackets));
    EXPECT_EQ(Bytes(got.ecmPackets), Bytes(want.ecmPackets));
    EXPECT_EQ(got.pmtPid, want.pmtPid);
    EXPECT_EQ(got.pcrPid, want.pcrPid);
    EXPECT_EQ(got.videoPid, want.videoPid);
    EXPECT_EQ(got.ecmPid, want.ecmPid);
    EXPECT_EQ(got.audioPids, want.audioPids);
    EXPECT_EQ(got.caPids, want.caPids);
    EXPECT_EQ(got.otherPids, want.otherPids);
    EXPECT_EQ(got.pidSet, want.pidSet);
    EXPECT_EQ(got.accessorVersion, want.accessorVersion);
    ASSERT_EQ(got.tsInfos.size(), want.tsInfos.size());
    if (!want.tsInfos.empty()) {
        EXPECT_EQ(memcmp(got.tsInfos.data(), want.tsInfos.data(),
                         want.tsInfos.size() * sizeof(MvTSInfo)),
                  0)
            << "per-packet index differs";
    }
    ASSERT_EQ(got.accessors.size(), want.accessors.size());
    for (const auto& [id, acc] : want.accessors) {
        auto it = got.accessors.find(id);
        ASSERT_NE(it, got.accessors.end()) << "accessor " << id;
        const MvAccessor& a = *it->second;
        EXPECT_EQ(a.id, acc->id);
        EXPECT_EQ(a.headerCount, acc->headerCount) << "accessor " << id;
        ASSERT_EQ(a.entries.size(), acc->entries.size()) << "accessor " << id;
        if (!acc->entries.empty()) {
            EXPECT_EQ(memcmp(a.entries.data(), acc->entries.data(),
                             acc->entries.size() * sizeof(MvSeqEntry)),
                      0)
                << "entries of accessor " << id;
        }
        EXPECT_EQ(Bytes(a.buffer), Bytes(acc->buffer)) << "buffer of accessor " << id;
    }
}

// ---------------------------------------------------------------------------------------------
// The manager.

// A storage manager of the test's own (no retention monitors) over the given media, loaded as
// the server's start-up does. Destroys its blocks and closes its media when it goes.
class TestManager {
public:
    TestManager() { m_mgr = std::make_unique<HSCStorageManager>(false); }
    ~TestManager() { Close(); }
    TestManager(const TestManager&) = delete;
    TestManager& operator=(const TestManager&) = delete;

    // Storage id -> path.
    int Load(const std::map<uint16_t, std::string>& media) {
        for (const auto& [id, path] : media) m_media[id].path = path;
        return MvLoadStorages(*m_mgr, m_media);
    }
    void Close() {
        if (!m_mgr) return;
        std::vector<HSCSingleChunk*> blocks;
        for (auto& [id, b] : m_mgr->m_blocks) blocks.push_back(b);
        m_mgr.reset();
        for (HSCSingleChunk* b : blocks) delete b;
        for (auto& [id, m] : m_media)
            if (m.descriptor >= 0) close(m.descriptor);
        m_media.clear();
    }
    HSCStorageManager& operator*() { return *m_mgr; }
    HSCStorageManager* operator->() { return m_mgr.get(); }
    int Descriptor(uint16_t id) { return m_media[id].descriptor; }

private:
    std::unique_ptr<HSCStorageManager> m_mgr;
    std::map<uint16_t, tagITGStorageInfo> m_media;
};

// Drives the manager as a content's back writer does: history first, then the append to the
// current block; a refused append closes the block (StopChunk) and the GOP goes to a new block
// (GetFreeChunk, StartChunk), where it must fit.
class BackWriter {
public:
    BackWriter(HSCStorageManager& mgr, HSCCIDInfo* record, uint16_t storage)
        : m_mgr(mgr), m_record(record), m_storage(storage) {}
    ~BackWriter() { Stop(); }

    bool Append(HSCGop* gop) {
        if (!m_mgr.PreAppendGOP(m_record, gop)) return false;
        if (m_block != nullptr && m_mgr.AppendGOP(m_record, m_block, gop)) return true;
        if (m_block != nullptr && !m_mgr.StopChunk(m_block)) return false;
        m_block = m_mgr.GetFreeChunk(m_record, m_storage);
        if (m_block == nullptr || !m_mgr.StartChunk(m_record, m_block)) return false;
        m_blocks.push_back(m_block->GetBlockID());
        m_firstGops.push_back(gop->gopId);
        return m_mgr.AppendGOP(m_record, m_block, gop);
    }
    void Stop() {
        if (m_block != nullptr) {
            EXPECT_TRUE(m_mgr.StopChunk(m_block));
        }
        m_block = nullptr;
    }
    HSCSingleChunk* Current() const { return m_block; }
    // Block ids in the order the writer took them, and the first GOP written to each.
    const std::vector<uint64_t>& Blocks() const { return m_blocks; }
    const std::vector<uint64_t>& FirstGops() const { return m_firstGops; }

private:
    HSCStorageManager& m_mgr;
    HSCCIDInfo* m_record;
    uint16_t m_storage;
    HSCSingleChunk* m_block = nullptr;
    std::vector<uint64_t> m_blocks;
    std::vector<uint64_t> m_firstGops;
};

// Sets READERSLOTS for one scope.
class ScopedReaderSlots {
public:
    explicit ScopedReaderSlots(int32_t slots) : m_old(ITGGetMainConf()->READERSLOTS) {
        ITGGetMainConf()->READERSLOTS = slots;
    }
    ~ScopedReaderSlots() { ITGGetMainConf()->READERSLOTS = m_old; }

private:
    int32_t m_old;
};

// A content number of its own for every use: the process-wide GOP cache (offered every GOP of a
// bulk load) outlives the tests.
inline uint32_t FreshContent() {
    static uint32_t next = 3000;
    return next++;
}

}  // namespace storint
