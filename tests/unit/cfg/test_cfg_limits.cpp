// Overlong lines, keys, values and address parts are refused without overrunning a buffer
// (run under AddressSanitizer in the test build).
#include <gmock/gmock.h>

#include "cfg_test_util.h"

using ::testing::HasSubstr;

namespace {

class CfgLimits : public CfgFiles {};

TEST_F(CfgLimits, LineLongerThan4095IsRefusedWhole) {
    ITGMainConf conf;
    // Without care, the part after the first 4095 characters would be read as its own
    // line and switch VERBOSE on.
    std::string longLine = "CASPASS " + std::string(4095 - 8, 'a') + "VERBOSE 1";
    std::string out = Load(conf, longLine + "\nSENDPARTS 5\n");
    EXPECT_THAT(out, HasSubstr("[CFG] Line of CASPASS is longer than 4095 characters"));
    EXPECT_FALSE(conf.VERBOSE);
    EXPECT_EQ(conf.GetString(ITGConfString::CASPASS), ITG_DEFAULT_CASPASS);
    EXPECT_EQ(conf.SENDPARTS, 5);  // the next line is read normally

    // The same line as the last one of a file without a final newline.
    ITGMainConf conf2;
    out = Load(conf2, "SENDPARTS 5\n" + longLine);
    EXPECT_THAT(out, HasSubstr("longer than 4095"));
    EXPECT_FALSE(conf2.VERBOSE);
}

TEST_F(CfgLimits, LineOf4095CharactersWithCrLfIsAccepted) {
    ITGMainConf conf;
    std::string origins = "x";
    while (origins.size() < 4095 - 13) origins += (origins.size() % 2) ? ' ' : 'o';
    std::string line = "ALLOWORIGINS " + origins;
    ASSERT_EQ(line.size(), 4095u);
    std::string out = Load(conf, line + "\r\n");
    EXPECT_THAT(out, ::testing::Not(HasSubstr("longer")));
    EXPECT_EQ(conf.GetString(ITGConfString::ALLOWORIGINS), origins);
}

TEST_F(CfgLimits, KeyOrValueLongerThan511IsRefused) {
    struct Case { std::string line; std::string message; };
    const Case cases[] = {
        {std::string(600, 'K') + " 1", "is longer than 511 characters"},
        {"CASPASS " + std::string(512, 'p'), "[CFG] Value of CASPASS is longer than 511"},
        {"DATABASE FILE:" + std::string(600, 'd'), "[CFG] Value of DATABASE is longer than 511"},
        {"STORAGE 1:/" + std::string(600, 's'), "[CFG] Value of STORAGE is longer than 511"},
    };
    for (const Case& c : cases) {
        ITGMainConf conf;
        std::string out = Load(conf, c.line + "\nVERBOSE 1\n");
        EXPECT_THAT(out, HasSubstr(c.message)) << c.line.substr(0, 20);
        EXPECT_TRUE(conf.VERBOSE);
        EXPECT_EQ(conf.GetString(ITGConfString::CASPASS), ITG_DEFAULT_CASPASS);
        EXPECT_EQ(conf.GetString(ITGConfString::DATABASE), "channels.lst");
        EXPECT_TRUE(conf.STORAGE.empty());
    }
    // Exactly 511 characters fit.
    ITGMainConf conf;
    Load(conf, "CASPASS " + std::string(511, 'p') + "\n");
    EXPECT_EQ(conf.GetString(ITGConfString::CASPASS), std::string(511, 'p'));
}

TEST_F(CfgLimits, AddressOrPortLongerThan31IsRefused) {
    const std::string longPart(40, '1');
    const std::string lines[] = {
        "HLS " + longPart + ":80",       "HLS 1.2.3.4:" + longPart,
        "VODINGEST " + longPart + ":80", "MONITOR 1.2.3.4:" + longPart,
        "CAS " + longPart,               "OTTMP 1.2.3.4:80:" + longPart,
        "OTTMP 1.2.3.4:" + longPart + ":2", "WS " + longPart + ":80",
        "WSS 0.0.0.0:" + longPart,
    };
    for (const std::string& line : lines) {
        ITGMainConf conf;
        std::string key = line.substr(0, line.find(' '));
        std::string out = Load(conf, line + "\n");
        EXPECT_THAT(out, HasSubstr("[CFG] " + key + " value has an address or port longer than "
                                   "31 characters"))
            << line;
        for (const tagITGListenAddr* b : {&conf.HLS, &conf.VODINGEST, &conf.CAS, &conf.WS,
                                          &conf.WSS, &conf.OTTMP, &conf.MONITOR}) {
            EXPECT_EQ(b->port, 0) << line;
            EXPECT_STREQ(b->addr, "") << line;
        }
    }
    // 31 characters fit.
    ITGMainConf conf;
    std::string addr(31, 'h');
    Load(conf, "CAS " + addr + ":81\n");
    EXPECT_EQ(std::string(conf.CAS.addr), addr);
    EXPECT_EQ(conf.CAS.port, 81);
}

TEST(CfgLimitsMask, VeryLongCpuLine) {
    std::string line = "GENCPUS ";
    for (int i = 0; i < 3000; ++i) line += std::to_string(i % 128) + ",";
    fflush(stdout);
    ::testing::internal::CaptureStdout();
    MvMask128 m = ObtainMask128(line.c_str());
    fflush(stdout);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(m, (MvMask128{~0ull, ~0ull}));
}

}  // namespace
