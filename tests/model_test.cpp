// Channel table, start-up numbering, the test pattern and the receive check.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "model/chnl.h"
#include "read.h"
#include "write.h"

namespace {

using namespace zentrel;

TEST(ChannelTable, StartupNumberingFollowsTheFirstPortRule) {
    struct {
        const char* cmdline;
        int first;
    } cases[] = {{"", 3},
                 {nullptr, 3},
                 {"abc", 3},
                 {"7", 7},
                 {"  5xyz", 5},
                 {"-2", -2},
                 {"+9", 9},
                 {"- 4", 3},
                 {"12 13", 12},
                 {"99999999999", INT32_MAX},
                 {"\t\n 8", 8},
                 {"-", 3},
                 {"-99999999999", INT32_MIN}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cmdline ? c.cmdline : "(null)");
        chnls_startup(c.cmdline);
        EXPECT_EQ(chnls[0].com_nbr, c.first);
        EXPECT_EQ(chnls[15].com_nbr, static_cast<int32_t>(static_cast<uint32_t>(c.first) + 15));
        EXPECT_EQ(chnls[15].com_baud, 115200);
        EXPECT_EQ(chnls[7].com_flow, flow_xonxoff);
        EXPECT_EQ(chnls[3].out_posted, 0u);
    }
    chnls_startup("-2");
    EXPECT_EQ(chnls[2].com_nbr, 0);
    EXPECT_EQ(chnls[15].com_nbr, 13);
}

TEST(ChannelTable, SettersReachAllSixteenRecords) {
    chnls_startup("3");
    chnl_count = 4;
    set_bauds(9600);
    set_flows(flow_rtscts);
    for (const auto& c : chnls) {
        EXPECT_EQ(c.com_baud, 9600);
        EXPECT_EQ(c.com_flow, flow_rtscts);
    }
    chnl_count = 16;
}

TEST(ChannelTable, DevicePathsAreBuiltOrRefusedNeverCut) {
    settings_reset();
    chnls_startup("12");
    ASSERT_TRUE(make_com_link(&chnls[0]));
    EXPECT_STREQ(chnls[0].com_link, "\\\\.\\COM12");
    chnls[0].com_nbr = -2147483647 - 1;
    ASSERT_TRUE(make_com_link(&chnls[0]));
    EXPECT_STREQ(chnls[0].com_link, "\\\\.\\COM-2147483648");

    std::string longp(com_link_size - 3, 'x');  // leaves room for two digits only
    std::snprintf(devLink, sizeof devLink, "%s", longp.c_str());
    chnls[0].com_nbr = 42;
    EXPECT_TRUE(make_com_link(&chnls[0]));
    chnls[0].com_nbr = 420;
    EXPECT_FALSE(make_com_link(&chnls[0]));
    EXPECT_STREQ(chnls[0].com_link, "") << "a path that does not fit is refused, not truncated";
    settings_reset();
}

TEST(Pattern, LayoutOfTheTransmitBuffer) {
    uint8_t w[wstuff_len];
    make_pattern(w, wstuff_len);
    EXPECT_EQ(w[0], 32);
    EXPECT_EQ(w[63], 95);
    EXPECT_EQ(w[64], 32);
    EXPECT_EQ(w[8191], 95);
    int hist[256] = {};
    for (uint8_t b : w) hist[b]++;
    for (int v = 0; v < 256; v++) EXPECT_EQ(hist[v], (v >= 32 && v <= 95) ? 128 : 0) << v;
}

// Runs both implementations of the check on the same input and returns (errors, next expectation).
struct outcome {
    uint64_t errs;
    uint8_t next;
    bool operator==(const outcome&) const = default;
};

outcome check(void (*fn)(const uint8_t*, int, chnl_struct*), const std::vector<uint8_t>& buf, uint8_t start) {
    chnl_struct c;
    c.in_nextchar = start;
    c.in_errs = 7;
    fn(buf.data(), static_cast<int>(buf.size()), &c);
    return {c.in_errs - 7u, c.in_nextchar};
}

TEST(ReceiveCheck, RuleEdgeCases) {
    auto both = [](const std::vector<uint8_t>& b, uint8_t start) {
        outcome fast = check(rx_ck, b, start);
        EXPECT_EQ(fast, check(rx_ck_bytewise, b, start));
        return fast;
    };
    std::vector<uint8_t> full(wstuff_len);
    make_pattern(full.data(), wstuff_len);
    EXPECT_EQ(both(full, 32), (outcome{0, 32}));
    EXPECT_EQ(both({65, 66, 67}, 65), (outcome{0, 68}));
    EXPECT_EQ(both({33, 34, 35}, 32), (outcome{1, 36}));
    EXPECT_EQ(both({0, 0, 34, 35}, 32), (outcome{1, 36})) << "one error per buffer";
    EXPECT_EQ(both({40}, 40), (outcome{0, 41}));
    for (auto [last, next] : std::vector<std::pair<uint8_t, uint8_t>>{
             {94, 95}, {95, 32}, {31, 32}, {0, 32}, {96, 32}, {255, 32}}) {
        EXPECT_EQ(both({last}, 33).next, next) << int(last);
    }
    // Garbage ending in 70, then a buffer starting with 71: the check has locked on again.
    chnl_struct c;
    c.in_nextchar = 32;
    std::vector<uint8_t> junk = {1, 2, 3, 70};
    std::vector<uint8_t> good = {71, 72, 73};
    rx_ck(junk.data(), 4, &c);
    rx_ck(good.data(), 3, &c);
    EXPECT_EQ(c.in_errs, 1u);
    // 64 bytes cut out of the middle of the pattern go unnoticed.
    std::vector<uint8_t> cut(full);
    cut.erase(cut.begin() + 1000, cut.begin() + 1064);
    EXPECT_EQ(both(cut, 32).errs, 0u);
}

TEST(ReceiveCheck, SplitReadsOfThePatternPassAtAnyBoundary) {
    std::vector<uint8_t> full(wstuff_len * 3);
    make_pattern(full.data(), static_cast<int>(full.size()));
    std::mt19937 rng(7);
    for (int round = 0; round < 50; round++) {
        chnl_struct c;
        c.in_nextchar = 32;
        size_t pos = 0;
        while (pos < full.size()) {
            size_t n = std::min<size_t>(1 + rng() % 3000, full.size() - pos);
            rx_ck(full.data() + pos, static_cast<int>(n), &c);
            pos += n;
        }
        EXPECT_EQ(c.in_errs, 0u);
        EXPECT_EQ(c.in_nextchar, 32);
    }
}

TEST(ReceiveCheck, FastPathAgreesWithTheByteRuleOnDamagedStreams) {
    std::mt19937 rng(12345);
    std::vector<uint8_t> stream(40000);
    make_pattern(stream.data(), static_cast<int>(stream.size()));
    for (int round = 0; round < 20000; round++) {
        int len = 1 + static_cast<int>(rng() % (round % 10 == 0 ? 16384 : 200));
        size_t off = rng() % (stream.size() - static_cast<size_t>(len));
        std::vector<uint8_t> buf(stream.begin() + static_cast<long>(off),
                                 stream.begin() + static_cast<long>(off) + len);
        switch (rng() % 6) {
            case 0:  // corrupt a few bytes anywhere, including the first and the last
                for (int k = 1 + static_cast<int>(rng() % 3); k > 0; k--)
                    buf[rng() % buf.size()] = uint8_t(rng());
                break;
            case 1:  // drop a stretch (a shift of the stream)
                if (buf.size() > 2) {
                    size_t a = rng() % (buf.size() - 1);
                    buf.erase(buf.begin() + static_cast<long>(a),
                              buf.begin() + static_cast<long>(a + 1 + rng() % (buf.size() - a - 1)));
                }
                break;
            case 2:  // insert garbage
                buf.insert(buf.begin() + static_cast<long>(rng() % buf.size()), uint8_t(rng()));
                break;
            case 3:  // random bytes
                for (auto& b : buf) b = uint8_t(rng());
                break;
            default:  // clean slice
                break;
        }
        // Start from the right expectation, a wrong one in the cycle, or one outside it.
        uint8_t start = rng() % 4 == 0 ? uint8_t(rng()) : uint8_t(32 + (rng() % 2 ? off % 64 : rng() % 64));
        ASSERT_EQ(check(rx_ck, buf, start), check(rx_ck_bytewise, buf, start))
            << "round " << round << " len " << buf.size() << " start " << int(start);
    }
}

}  // namespace
