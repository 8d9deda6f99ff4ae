// Initial load of configuration files: value forms, checks and their messages.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <net/if.h>

#include <functional>
#include <vector>

#include "cfg_test_util.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

struct ParseCase {
    const char* name;
    std::string text;
    std::function<void(const ITGMainConf&)> check;
    std::vector<std::string> logs;     // each must appear in the output
    std::vector<std::string> notLogs;  // none may appear
};

class CfgParse : public CfgFiles {};

TEST_F(CfgParse, DefaultsOfAFreshRecord) {
    ITGMainConf c;
    EXPECT_TRUE(c.SCREENLOG);
    EXPECT_FALSE(c.FILELOG);
    EXPECT_TRUE(c.LOGENABLED);
    EXPECT_FALSE(c.LOGFLUSH);
    EXPECT_FALSE(c.VERBOSE);
    EXPECT_FALSE(c.IDR);
    EXPECT_FALSE(c.PATCHPAT);
    EXPECT_TRUE(c.PATPROGSONLY);
    EXPECT_EQ(c.CACHEDISTANCE, 0);
    EXPECT_TRUE(c.SECONDFIELD);
    EXPECT_EQ(c.MINFREEMEM, 16ull << 20);
    EXPECT_EQ(c.MINFREEBLOCKMEM, 24ull << 20);
    EXPECT_EQ(c.DEFERSECS, 3);
    EXPECT_TRUE(c.STORAGE.empty());
    EXPECT_EQ(c.GetString(ITGConfString::DATABASE), "channels.lst");
    EXPECT_EQ(c.GetString(ITGConfString::XML), "");
    EXPECT_EQ(c.ID, 0);
    EXPECT_TRUE(c.NOGOP);
    EXPECT_FALSE(c.WAITPING);
    EXPECT_FALSE(c.WAITBUFFER);
    EXPECT_TRUE(c.SYNCDATA);
    EXPECT_FALSE(c.SYNCBUFFERS);
    EXPECT_TRUE(c.BULKWRITE);
    EXPECT_EQ(c.READERSLOTS, 32);
    EXPECT_EQ(c.BWMINOH, 20);
    EXPECT_EQ(c.BWMAXOH, 60);
    EXPECT_EQ(c.BWMAXLEN, 50);
    EXPECT_EQ(c.SHIFTLL, 5);
    EXPECT_EQ(c.SHIFTHL, 15);
    EXPECT_EQ(c.SENDPARTS, 32);
    EXPECT_EQ(c.ABRTHRESHOLDMS, 0);
    EXPECT_EQ(c.ABRWAITTIME, 1);
    EXPECT_EQ(c.CACHESIZE, 64ull << 30);
    EXPECT_TRUE(c.READCACHE);
    EXPECT_DOUBLE_EQ(c.HLSSEGMENTDURATION, 15.0);
    EXPECT_EQ(c.HLSSEGMENTGOPS, 13);
    EXPECT_EQ(c.HLSSEGMENTCOUNT, 10);
    for (const tagITGListenAddr* b : {&c.HLS, &c.VODINGEST, &c.CAS, &c.WS, &c.WSS, &c.OTTMP,
                                      &c.MONITOR}) {
        EXPECT_STREQ(b->addr, "");
        EXPECT_EQ(b->ip, 0u);
        EXPECT_EQ(b->port, 0);
        EXPECT_EQ(b->portCount, 1);
    }
    EXPECT_TRUE(c.CASMODE);
    std::string pass = c.GetString(ITGConfString::CASPASS);
    EXPECT_EQ(pass.size(), 32u);
    EXPECT_EQ(pass.find_first_not_of("0123456789abcdefABCDEF"), std::string::npos);
    EXPECT_EQ(c.GetString(ITGConfString::ALLOWORIGINS), "");
    EXPECT_EQ(c.IPFILTERFILE, "");
    EXPECT_EQ(c.WHITELISTFILE, "");
    EXPECT_EQ(c.BLACKLISTFILE, "");
    EXPECT_EQ(c.WSSCERTFILE, "");
    EXPECT_EQ(c.WSNOGOPDELAYMS, 100000);
    EXPECT_EQ(c.WSGETFRAGSMAX, 10);
    EXPECT_EQ(c.WSTIMEOUTSEC, 10);
    EXPECT_EQ(c.WSBURSTMAX, 4);
    EXPECT_EQ(c.WSWORKERS, 1);
    EXPECT_EQ(c.WSVERBOSE, 0);
    for (ITGCpuSet s : {ITGCpuSet::GENCPUS, ITGCpuSet::RCVCPUS, ITGCpuSet::WRTCPUS,
                        ITGCpuSet::SNDCPUS})
        EXPECT_EQ(c.GetCPUSet(s), (MvMask128{1, 0}));
    EXPECT_EQ(c.STACKSIZE, 1u);
    EXPECT_EQ(c.GetStorageForContent(12345), 1);
    EXPECT_EQ(c.GetTimeForContent(12345), 5u);
}

TEST_F(CfgParse, ValueFormsAndChecks) {
    const std::vector<ParseCase> cases = {
        {"three-line example",
         "HLS 0.0.0.0:8080\nSTORAGE 1:/dev/sdb\nCACHESIZE 4g\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.HLS.port, 8080);
             EXPECT_STREQ(c.HLS.addr, "0.0.0.0");
             EXPECT_EQ(c.HLS.ip, 0u);
             ASSERT_EQ(c.STORAGE.size(), 1u);
             const tagITGStorageInfo& s = c.STORAGE.at(1);
             EXPECT_EQ(s.id, 1);
             EXPECT_EQ(s.path, "/dev/sdb");
             EXPECT_EQ(s.descriptor, -1);
             EXPECT_EQ(s.countU + s.countI + s.countW + s.countR, 0u);
             EXPECT_EQ(c.CACHESIZE, 4294967296ull);
         },
         {},
         {"Invalid", "FATAL"}},
        {"cache size suffixes", "CACHESIZE 3M\n", [](const ITGMainConf& c) {
             EXPECT_EQ(c.CACHESIZE, 3ull * 1048576);
         }, {}, {}},
        {"cache size k", "CACHESIZE 512k\n", [](const ITGMainConf& c) {
             EXPECT_EQ(c.CACHESIZE, 512ull * 1024);
         }, {}, {}},
        {"cache size other suffix is bytes", "CACHESIZE 1000x\n", [](const ITGMainConf& c) {
             EXPECT_EQ(c.CACHESIZE, 1000u);
         }, {}, {}},
        {"cache size overflow refused", "CACHESIZE 99999999999999g\n",
         [](const ITGMainConf& c) { EXPECT_EQ(c.CACHESIZE, 64ull << 30); },
         {"Invalid CACHESIZE value (99999999999999g)"}, {}},
        {"OTTMP without port count",
         "OTTMP 10.0.0.1:5000\n",
         [](const ITGMainConf& c) {
             EXPECT_STREQ(c.OTTMP.addr, "10.0.0.1");
             EXPECT_EQ(c.OTTMP.ip, inet_addr("10.0.0.1"));
             EXPECT_EQ(c.OTTMP.port, 5000);
             EXPECT_EQ(c.OTTMP.portCount, 1);
         },
         {}, {}},
        {"OTTMP with port count", "OTTMP 10.0.0.1:5000:4\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.OTTMP.port, 5000);
             EXPECT_EQ(c.OTTMP.portCount, 4);
         },
         {}, {}},
        {"CAS without port is port 80", "CAS 10.0.0.2\n",
         [](const ITGMainConf& c) {
             EXPECT_STREQ(c.CAS.addr, "10.0.0.2");
             EXPECT_EQ(c.CAS.ip, inet_addr("10.0.0.2"));
             EXPECT_EQ(c.CAS.port, 80);
         },
         {}, {}},
        {"CAS with port", "CAS 10.0.0.2:8081\n",
         [](const ITGMainConf& c) { EXPECT_EQ(c.CAS.port, 8081); }, {}, {}},
        {"VODINGEST and MONITOR", "VODINGEST 127.0.0.1:7000\nMONITOR 127.0.0.1:7001\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.VODINGEST.port, 7000);
             EXPECT_EQ(c.VODINGEST.ip, htonl(INADDR_LOOPBACK));
             EXPECT_EQ(c.MONITOR.port, 7001);
         },
         {}, {}},
        {"V3DEFAULT below 10 minutes", "V3DEFAULT 2:5\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.GetStorageForContent(777), 2);
             EXPECT_EQ(c.GetTimeForContent(777), 10u);
         },
         {"[CFG] Warning, V3DEFAULT time parameter is defaulted to 10, auto is not supported "
          "anymore"},
         {}},
        {"V3DEFAULT without minutes is invalid", "V3DEFAULT 2\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.GetStorageForContent(777), 1);
             EXPECT_EQ(c.GetTimeForContent(777), 5u);
         },
         {"[CFG] Invalid V3DEFAULT keyword (V3DEFAULT 2)"}, {"Warning"}},
        {"V3DEFAULT accepted", "V3DEFAULT 3:1440\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.GetStorageForContent(777), 3);
             EXPECT_EQ(c.GetTimeForContent(777), 1440u);
         },
         {}, {"Warning"}},
        {"CPU ranges and single CPUs", "GENCPUS 0-3,8\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.GetCPUSet(ITGCpuSet::GENCPUS), (MvMask128{0x10F, 0}));
         },
         {"[CFG] GENCPUS 0x0000000000000000,000000000000010f"}, {"Error"}},
        {"CPU range written backwards", "RCVCPUS 3-1\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.GetCPUSet(ITGCpuSet::RCVCPUS), (MvMask128{0xE, 0}));
         },
         {"[CFG] RCVCPUS 0x0000000000000000,000000000000000e"}, {}},
        {"CPU 127 is the top bit of the high word", "WRTCPUS 127, 64\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.GetCPUSet(ITGCpuSet::WRTCPUS), (MvMask128{0, 0x8000000000000001ull}));
         },
         {"[CFG] WRTCPUS 0x8000000000000001,0000000000000000"}, {}},
        {"CPU list that is no list keeps the previous set", "SNDCPUS x\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.GetCPUSet(ITGCpuSet::SNDCPUS), (MvMask128{1, 0}));
         },
         {"Error in CPU mask 'SNDCPUS x', statement 'x' is invalid",
          "Error in CPU mask, statement 'SNDCPUS x' is invalid"},
         {"[CFG] SNDCPUS 0x"}},
        {"bad CPU piece skipped", "GENCPUS 1, 2-\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.GetCPUSet(ITGCpuSet::GENCPUS), (MvMask128{2, 0}));
         },
         {"Error in CPU mask 'GENCPUS 1, 2-', statement ' 2-' is invalid"},
         {"Error in CPU mask, statement"}},
        {"tab does not separate key and value", "VERBOSE\t1\n",
         [](const ITGMainConf& c) { EXPECT_FALSE(c.VERBOSE); },
         {"[CFG] Skipping invalid CFG line(VERBOSE\t1)"}, {}},
        {"key without value", "VERBOSE\n", [](const ITGMainConf& c) { EXPECT_FALSE(c.VERBOSE); },
         {"[CFG] Skipping invalid CFG line(VERBOSE)"}, {}},
        {"several spaces and trailing words", "SENDPARTS   12 extra words\n",
         [](const ITGMainConf& c) { EXPECT_EQ(c.SENDPARTS, 12); },
         {"[CFG] Will send 12 V3 parts at once"}, {"Invalid"}},
        {"repeated key: the last wins", "SENDPARTS 10\nVERBOSE 1\nSENDPARTS 20\nVERBOSE 0\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.SENDPARTS, 20);
             EXPECT_FALSE(c.VERBOSE);
         },
         {"[CFG] Will send 10 V3 parts at once", "[CFG] Will send 20 V3 parts at once"}, {}},
        {"duplicate storage ids keep the first", "STORAGE 1:/a\nSTORAGE 1:/b\nSTORAGE 2:/c:d\n",
         [](const ITGMainConf& c) {
             ASSERT_EQ(c.STORAGE.size(), 2u);
             EXPECT_EQ(c.STORAGE.at(1).path, "/a");
             EXPECT_EQ(c.STORAGE.at(2).path, "/c");
             EXPECT_EQ(c.STORAGE.begin()->first, 1);
         },
         {"[CFG] Storage IDs should be unique"}, {}},
        {"comments, empty lines and CRLF", "# a comment\r\n\r\n\nVERBOSE 1\r\n#VERBOSE 0\n",
         [](const ITGMainConf& c) { EXPECT_TRUE(c.VERBOSE); }, {}, {"Invalid", "Skipping"}},
        {"unknown and lower-case keys", "FOO 1\nverbose 1\n",
         [](const ITGMainConf& c) { EXPECT_FALSE(c.VERBOSE); },
         {"Invalid keyword in file 'FOO'", "Invalid keyword in file 'verbose'"}, {}},
        {"flags and integers", "VERBOSE 7\nREADCACHE 0\nSYNCDATA abc\nIDR 1\nPATCHPAT 1\n"
                               "ABRTHRESHOLDMS 100\nHLSSEGMENTDURATION 6.5\n"
                               "WSNOGOPDELAYMS 5000000000\nSTACKSIZE 8\nID 42\n"
                               "CACHEDISTANCE 30\nSHIFTLL 2\nSHIFTHL 9\nWSWORKERS 3\n",
         [](const ITGMainConf& c) {
             EXPECT_TRUE(c.VERBOSE);
             EXPECT_FALSE(c.READCACHE);
             EXPECT_FALSE(c.SYNCDATA);
             EXPECT_TRUE(c.IDR);
             EXPECT_TRUE(c.PATCHPAT);
             EXPECT_EQ(c.ABRTHRESHOLDMS, 9000);
             EXPECT_DOUBLE_EQ(c.HLSSEGMENTDURATION, 6.5);
             EXPECT_EQ(c.WSNOGOPDELAYMS, 5000000000ll);
             EXPECT_EQ(c.STACKSIZE, 8u);
             EXPECT_EQ(c.ID, 42);
             EXPECT_EQ(c.CACHEDISTANCE, 30);
             EXPECT_EQ(c.SHIFTLL, 2);
             EXPECT_EQ(c.SHIFTHL, 9);
             EXPECT_EQ(c.WSWORKERS, 3);
         },
         {}, {"Invalid", "Error"}},
        {"free-memory figures in MiB", "MINFREEMEM 100\nMINFREEBLOCKMEM 2047\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.MINFREEMEM, 100ull * 1048576);
             EXPECT_EQ(c.MINFREEBLOCKMEM, 2047ull * 1048576);
         },
         {}, {"range"}},
        {"free-memory figures out of range are refused", "MINFREEMEM -1\nMINFREEBLOCKMEM 2048\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.MINFREEMEM, 16ull * 1048576);
             EXPECT_EQ(c.MINFREEBLOCKMEM, 24ull * 1048576);
         },
         {"[CFG] MINFREEMEM should be in range 0-2047",
          "[CFG] MINFREEBLOCKMEM should be in range 0-2047"},
         {}},
        {"bandwidth values out of range are kept with a message",
         "BWMINOH 5\nBWMAXOH 61\nBWMAXLEN 9\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.BWMINOH, 5);
             EXPECT_EQ(c.BWMAXOH, 61);
             EXPECT_EQ(c.BWMAXLEN, 9);
         },
         {"[CFG] BWMINOH should be in range 10-30", "[CFG] BWMAXOH should be in range 10-60",
          "[CFG] BWMAXLEN should be in range 10-60"},
         {}},
        {"bandwidth values in range", "BWMINOH 10\nBWMAXOH 60\nBWMAXLEN 30\n",
         [](const ITGMainConf& c) { EXPECT_EQ(c.BWMAXLEN, 30); }, {}, {"range"}},
        {"READERSLOTS below 1 becomes 1", "READERSLOTS 0\n",
         [](const ITGMainConf& c) { EXPECT_EQ(c.READERSLOTS, 1); },
         {"READERSLOTS should be at least 1"}, {}},
        {"WSGETFRAGSMAX 0 is not taken", "WSGETFRAGSMAX 0\n",
         [](const ITGMainConf& c) { EXPECT_EQ(c.WSGETFRAGSMAX, 10); },
         {"[CFG] WSGETFRAGSMAX should be positive integer"}, {}},
        {"WSGETFRAGSMAX taken", "WSGETFRAGSMAX 3\n",
         [](const ITGMainConf& c) { EXPECT_EQ(c.WSGETFRAGSMAX, 3); }, {}, {"positive"}},
        {"database file", "DATABASE FILE:/srv/tv/channels.lst\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.GetString(ITGConfString::DATABASE), "/srv/tv/channels.lst");
         },
         {}, {"Unsupported"}},
        {"unsupported database keeps the path", "DATABASE SQL:tv\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.GetString(ITGConfString::DATABASE), "channels.lst");
         },
         {"[CFG] Unsupported database (SQL:tv)"}, {}},
        {"allowed origins take the rest of the line",
         "ALLOWORIGINS http://a.example, http://b.example\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.GetString(ITGConfString::ALLOWORIGINS),
                       "http://a.example, http://b.example");
         },
         {}, {}},
        {"allowed origins end at the not sign", "ALLOWORIGINS a b\xC2\xAC" "c\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.GetString(ITGConfString::ALLOWORIGINS), "a b");
         },
         {}, {}},
        {"text settings", "CASPASS s3cret\nCASMODE 0\nIPFILTERFILE /etc/f.json\n"
                          "WHITELISTFILE /etc/w\nBLACKLISTFILE /etc/b\nWSSCERTFILE c.pem\n"
                          "WSSKEYFILE k.pem\nWSSCAFILE ca.pem\n",
         [](const ITGMainConf& c) {
             EXPECT_EQ(c.GetString(ITGConfString::CASPASS), "s3cret");
             EXPECT_FALSE(c.CASMODE);
             EXPECT_EQ(c.IPFILTERFILE, "/etc/f.json");
             EXPECT_EQ(c.WHITELISTFILE, "/etc/w");
             EXPECT_EQ(c.BLACKLISTFILE, "/etc/b");
             EXPECT_EQ(c.WSSCERTFILE, "c.pem");
             EXPECT_EQ(c.WSSKEYFILE, "k.pem");
             EXPECT_EQ(c.WSSCAFILE, "ca.pem");
         },
         {}, {}},
        {"WebSocket on all interfaces", "WS 0.0.0.0:9000\n",
         [](const ITGMainConf& c) {
             EXPECT_STREQ(c.WS.addr, "");
             EXPECT_EQ(c.WS.port, 9000);
         },
         {}, {"FATAL"}},
        {"WebSocket on a local address keeps the interface name", "WSS 127.0.0.1:9443\n",
         [](const ITGMainConf& c) {
             EXPECT_NE(if_nametoindex(c.WSS.addr), 0u) << c.WSS.addr;
             EXPECT_EQ(c.WSS.port, 9443);
         },
         {}, {"FATAL"}},
    };
    for (const ParseCase& pc : cases) {
        SCOPED_TRACE(pc.name);
        ITGMainConf conf;
        bool ok = false;
        std::string out = Load(conf, pc.text, true, &ok);
        EXPECT_TRUE(ok);
        pc.check(conf);
        for (const std::string& s : pc.logs) EXPECT_THAT(out, HasSubstr(s));
        for (const std::string& s : pc.notLogs) EXPECT_THAT(out, Not(HasSubstr(s)));
    }
}

TEST_F(CfgParse, XmlDocumentIsLoadedInPieces) {
    std::string plain(70, 'x');
    plain[0] = '<';
    plain[69] = '>';
    // A zero byte at offset 5 drops the rest of the first 31-byte piece (offsets 5..30).
    std::string withZero = std::string("abcde") + '\0' + std::string(25, 'q') + "NEXT";
    std::string plainPath = Write("policy.xml", plain);
    std::string zeroPath = Write("zero.xml", withZero);

    ITGMainConf conf;
    std::string out = Load(conf, "XML " + plainPath + "\n");
    EXPECT_EQ(conf.GetString(ITGConfString::XML), plain);
    EXPECT_THAT(out, HasSubstr("[CFG] Loaded XML from (" + plainPath + "), sized (70)"));

    out = Load(conf, "XML " + zeroPath + "\n");
    EXPECT_EQ(conf.GetString(ITGConfString::XML), "abcdeNEXT");
    EXPECT_THAT(out, HasSubstr("sized (9)"));

    out = Load(conf, "XML " + m_dir + "/missing.xml\n");
    EXPECT_EQ(conf.GetString(ITGConfString::XML), "abcdeNEXT");
    EXPECT_THAT(out, HasSubstr("[CFG] Could not open XML file (" + m_dir + "/missing.xml)"));
}

TEST_F(CfgParse, DebugSetIsRebuiltAtEveryLoad) {
    ITGMainConf conf;
    Load(conf, "DEBUGSTB 10.1.2.3\nDEBUGSTB 10.1.2.4\n");
    EXPECT_TRUE(MvIPMapExists(inet_addr("10.1.2.3")));
    EXPECT_TRUE(MvIPMapExists(inet_addr("10.1.2.4")));
    EXPECT_FALSE(MvIPMapExists(inet_addr("10.1.2.5")));
    Load(conf, "DEBUGSTB 10.1.2.5\n", false);
    EXPECT_FALSE(MvIPMapExists(inet_addr("10.1.2.3")));
    EXPECT_TRUE(MvIPMapExists(inet_addr("10.1.2.5")));
    Load(conf, "VERBOSE 0\n", false);
    EXPECT_FALSE(MvIPMapExists(inet_addr("10.1.2.5")));
}

TEST_F(CfgParse, MissingFileFailsAndKeepsValues) {
    ITGMainConf conf;
    conf.SENDPARTS = 7;
    fflush(stdout);
    ::testing::internal::CaptureStdout();
    std::string path = m_dir + "/nothing.cfg";
    EXPECT_FALSE(ITGLoadConfigInto(conf, path.c_str(), false));
    fflush(stdout);
    EXPECT_THAT(::testing::internal::GetCapturedStdout(),
                HasSubstr("Could not open config file '" + path + "'"));
    EXPECT_EQ(conf.SENDPARTS, 7);
}

TEST(CfgMask, ObtainMask128) {
    struct Case { const char* line; MvMask128 mask; };
    const Case cases[] = {
        {"GENCPUS 0-3,8", {0x10F, 0}},
        {"GENCPUS 3-1", {0xE, 0}},
        {"GENCPUS 0 - 2 , 5", {0x27, 0}},
        {"GENCPUS 63-65", {1ull << 63, 3}},
        {"GENCPUS 127", {0, 1ull << 63}},
        {"GENCPUS 128", {0, 0}},            // beyond the 128 CPUs of a set
        {"GENCPUS 120-99999999", {0, 0xFF00000000000000ull}},
        {"GENCPUS x", {0, 0}},
        {"GENCPUS", {0, 0}},
        {"GENCPUS 2,x", {4, 0}},            // the list ends where the CPU characters end
    };
    for (const Case& c : cases) {
        fflush(stdout);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(ObtainMask128(c.line), c.mask) << c.line;
        fflush(stdout);
        ::testing::internal::GetCapturedStdout();
    }
}

TEST(CfgIface, AddressToInterfaceName) {
    char text[32] = "127.0.0.1";
    ASSERT_TRUE(ip_to_iface(text, sizeof(text)));
    EXPECT_NE(if_nametoindex(text), 0u) << text;

    char none[32] = "203.0.113.77";
    EXPECT_FALSE(ip_to_iface(none, sizeof(none)));
    EXPECT_STREQ(none, "203.0.113.77");

    fflush(stdout);
    ::testing::internal::CaptureStdout();
    char zero[4] = "x";
    EXPECT_FALSE(ip_to_iface(zero, 0));
    fflush(stdout);
    EXPECT_THAT(::testing::internal::GetCapturedStdout(),
                HasSubstr("[CFG] Buffer size should be greater than zero"));
}

}  // namespace
