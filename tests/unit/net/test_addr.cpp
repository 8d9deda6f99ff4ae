// MvNetAddr: parsing, text forms, socket addresses and copies.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <memory>

#include "loopback.h"
#include "mvsock_addr.h"

TEST(MvNetAddr, ParsesIpPortText) {
    struct Case {
        const char* text;
        bool valid;
        const char* ip;
        uint16_t port;
        const char* full;
    };
    const Case cases[] = {
        {"10.1.2.3:8080", true, "10.1.2.3", 8080, "10.1.2.3:8080"},
        {"0.0.0.0:0", true, "0.0.0.0", 0, "0.0.0.0:0"},
        {"127.0.0.1:65535", true, "127.0.0.1", 65535, "127.0.0.1:65535"},
        {"10.1.2.3", false, "0.0.0.0", 0, "0.0.0.0:0"},        // no port
        {"10.1.2.3:", false, "0.0.0.0", 0, "0.0.0.0:0"},       // empty port
        {"10.1.2.3:65536", false, "0.0.0.0", 0, "0.0.0.0:0"},  // does not fit 16 bits
        {"10.1.2.3:-1", false, "0.0.0.0", 0, "0.0.0.0:0"},
        {"nohost:80", false, "0.0.0.0", 0, "0.0.0.0:0"},       // not an address
        {"", false, "0.0.0.0", 0, "0.0.0.0:0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        MvNetAddr a("192.168.9.9", 99);  // previous contents must not survive a failure
        EXPECT_EQ(a.SetAddr(c.text), c.valid);
        EXPECT_EQ(a.IsValid(), c.valid);
        EXPECT_STREQ(a.GetAddrIP(), c.ip);
        EXPECT_EQ(a.GetPort(), c.port);
        EXPECT_STREQ(a.GetAddrFull(), c.full);
        EXPECT_EQ(MvNetAddr(c.text).IsValid(), c.valid);
    }
}

TEST(MvNetAddr, NumericAndTextFormsAgree) {
    MvNetAddr byText("192.0.2.7", 554);
    MvNetAddr byNumber(htonl(0xC0000207u), static_cast<uint16_t>(554));
    for (const MvNetAddr* a : {&byText, &byNumber}) {
        EXPECT_TRUE(a->IsValid());
        EXPECT_EQ(a->GetAddr(), htonl(0xC0000207u));  // network byte order
        EXPECT_EQ(a->GetPort(), 554);
        EXPECT_STREQ(a->GetAddrFull(), "192.0.2.7:554");
    }
    // 255.255.255.255 is an address; a text that is none is not taken for it.
    EXPECT_TRUE(MvNetAddr("255.255.255.255", 1).IsValid());
    EXPECT_FALSE(MvNetAddr("300.1.1.1", 1).IsValid());
    EXPECT_FALSE(MvNetAddr(static_cast<const char*>(nullptr), 1).IsValid());
}

TEST(MvNetAddr, ResetCopiesAndDuplicates) {
    MvNetAddr a("10.0.0.1", 1234);
    MvNetAddr b;
    EXPECT_FALSE(b.IsValid());
    EXPECT_STREQ(b.GetAddrFull(), "0.0.0.0:0");
    a.CopyTo(&b);
    EXPECT_TRUE(b.IsValid());
    EXPECT_STREQ(b.GetAddrFull(), "10.0.0.1:1234");
    std::unique_ptr<MvNetAddr> d(a.Duplicate());
    a.Reset();
    EXPECT_FALSE(a.IsValid());
    EXPECT_EQ(a.GetAddr(), 0u);
    EXPECT_STREQ(a.GetAddrIP(), "0.0.0.0");
    EXPECT_STREQ(d->GetAddrFull(), "10.0.0.1:1234");
    MvNetAddr c;
    c.CopyFrom(d.get());
    EXPECT_EQ(c.GetPort(), 1234);
    c = a;
    EXPECT_FALSE(c.IsValid());
    EXPECT_STREQ(c.GetAddrFull(), "0.0.0.0:0");
}

TEST(MvNetAddr, FromSocketEnds) {
    mvtest::SockPair p = mvtest::SockPair::Make();
    ASSERT_TRUE(p.Ok());
    MvNetAddr local(p.client->GetSock(), false);
    MvNetAddr peer(p.server->GetSock(), true);
    ASSERT_TRUE(local.IsValid());
    ASSERT_TRUE(peer.IsValid());
    EXPECT_EQ(local.GetPort(), peer.GetPort());
    EXPECT_STREQ(peer.GetAddrIP(), "127.0.0.1");
    MvNetAddr bad("10.0.0.1", 5);
    EXPECT_FALSE(bad.SetAddr(-1, true));
    EXPECT_FALSE(bad.IsValid());
    EXPECT_STREQ(bad.GetAddrFull(), "0.0.0.0:0");
}
