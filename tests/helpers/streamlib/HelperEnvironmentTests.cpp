#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "TidewellStream/TidewellHelperEnvironment.h"

namespace {

class Variable {
public:
    Variable(const char* name, const char* value) : name_(name) {
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~Variable() { unsetenv(name_); }

private:
    const char* name_;
};

std::vector<std::pair<uint32_t, uint32_t>> Routes(const char* value) {
    Variable v("TIDEWELL_TAP_ROUTES", value);
    TidewellRouteTable table{};
    table.count = 77;
    ParseRoutes(&table, "TIDEWELL_TAP_ROUTES");
    std::vector<std::pair<uint32_t, uint32_t>> routes;
    for (uint32_t i = 0; i < table.count; ++i) {
        routes.emplace_back(table.routes[i][0], table.routes[i][1]);
    }
    return routes;
}

std::vector<float> Gains(const char* value, uint32_t count) {
    Variable v("TIDEWELL_TAP_CHANNEL_GAINS", value);
    std::vector<float> gains(count, -9.0f);
    ParseChannelGains(gains.data(), count, "TIDEWELL_TAP_CHANNEL_GAINS");
    return gains;
}

using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;

}  // namespace

TEST(HelperEnvironment, RoutesUnsetEmptyAndMixed) {
    EXPECT_EQ(Routes(nullptr), (Pairs{{1, 1}, {2, 2}}));
    EXPECT_EQ(Routes(""), Pairs{});
    EXPECT_EQ(Routes("1:2,0:3,x,3:4abc"), (Pairs{{1, 2}, {3, 4}}));
    EXPECT_EQ(Routes(",,1:1,,"), (Pairs{{1, 1}}));
    EXPECT_EQ(Routes(" 2: 5,+3:+1"), (Pairs{{2, 5}, {3, 1}}));
    EXPECT_EQ(Routes("1 :2,1:,:2,1:0,1"), Pairs{});
    EXPECT_EQ(Routes("64:64"), (Pairs{{64, 64}}));
}

TEST(HelperEnvironment, RoutesRefuseNegativeAndOversizedNumbers) {
    // Such numbers would otherwise wrap into huge channel numbers.
    EXPECT_EQ(Routes("-1:2,2:-1,4294967296:1,1:99999999999999999999"), Pairs{});
    EXPECT_EQ(Routes("4294967295:1"), (Pairs{{4294967295u, 1}}));
}

TEST(HelperEnvironment, RoutesStopAtTwoHundredFiftySix) {
    std::string text;
    for (int i = 1; i <= 300; ++i) {
        text += std::to_string(i) + ":" + std::to_string(i) + ",";
    }
    const auto routes = Routes(text.c_str());
    ASSERT_EQ(routes.size(), 256u);
    EXPECT_EQ(routes.back(), (std::pair<uint32_t, uint32_t>{256, 256}));
    TidewellRouteTable table{};
    SetDefaultRoutes(&table);
    EXPECT_EQ(table.count, 2u);
    ParseRoutes(nullptr, "TIDEWELL_TAP_ROUTES");
}

TEST(HelperEnvironment, ChannelGains) {
    EXPECT_EQ(Gains("0.5,,3", 4), (std::vector<float>{0.5f, 1.0f, 2.0f, 1.0f}));
    EXPECT_EQ(Gains("-1", 3), (std::vector<float>{0.0f, 1.0f, 1.0f}));
    EXPECT_EQ(Gains(nullptr, 2), (std::vector<float>{1.0f, 1.0f}));
    EXPECT_EQ(Gains("", 2), (std::vector<float>{1.0f, 1.0f}));
    EXPECT_EQ(Gains("abc,1.5x,0.25,2,2", 3), (std::vector<float>{0.0f, 1.5f, 0.25f}));
    // Non-finite gains count as 1.0, as everywhere else in the system.
    EXPECT_EQ(Gains("nan,inf,-inf,1e999,0.5", 5), (std::vector<float>{1.0f, 1.0f, 1.0f, 1.0f, 0.5f}));
    EXPECT_EQ(Gains("1,1", 0), std::vector<float>{});
}

// An empty piece stands for its own channel: the gains after it must not move one channel down.
TEST(HelperEnvironment, EmptyGainPiecesKeepTheirChannel) {
    EXPECT_EQ(Gains("1,,0.5", 3), (std::vector<float>{1.0f, 1.0f, 0.5f}));
    EXPECT_EQ(Gains(",0.25", 2), (std::vector<float>{1.0f, 0.25f}));
    EXPECT_EQ(Gains("0.5,,,0.75,", 5), (std::vector<float>{0.5f, 1.0f, 1.0f, 0.75f, 1.0f}));
    EXPECT_EQ(Gains(",,,", 3), (std::vector<float>{1.0f, 1.0f, 1.0f}));
    // Empty route pieces are still just skipped.
    EXPECT_EQ(Routes(",1:2,,3:4,"), (Pairs{{1, 2}, {3, 4}}));
}

TEST(HelperEnvironment, ClampChannelGain) {
    EXPECT_EQ(ClampChannelGain(-0.5), 0.0f);
    EXPECT_FALSE(std::signbit(ClampChannelGain(-0.0)));
    EXPECT_EQ(ClampChannelGain(0.0), 0.0f);
    EXPECT_EQ(ClampChannelGain(1.25), 1.25f);
    EXPECT_EQ(ClampChannelGain(2.0), 2.0f);
    EXPECT_EQ(ClampChannelGain(2.5), 2.0f);
    EXPECT_EQ(ClampChannelGain(std::nan("")), 1.0f);
    EXPECT_EQ(ClampChannelGain(INFINITY), 1.0f);
    EXPECT_EQ(ClampChannelGain(-INFINITY), 1.0f);
}

TEST(HelperEnvironment, TruthyIsExactAndCaseSensitive) {
    for (const char* yes : {"1", "true", "yes", "on"}) {
        Variable v("TIDEWELL_TEST_SWITCH", yes);
        EXPECT_TRUE(EnvIsTruthy("TIDEWELL_TEST_SWITCH")) << yes;
    }
    for (const char* no : {"TRUE", "Yes", "ON", "2", "", " 1", "1 ", "yes!"}) {
        Variable v("TIDEWELL_TEST_SWITCH", no);
        EXPECT_FALSE(EnvIsTruthy("TIDEWELL_TEST_SWITCH")) << no;
    }
    Variable unset("TIDEWELL_TEST_SWITCH", nullptr);
    EXPECT_FALSE(EnvIsTruthy("TIDEWELL_TEST_SWITCH"));
    EXPECT_FALSE(EnvIsTruthy(nullptr));
}

TEST(HelperEnvironment, BufferFrames) {
    struct Case {
        const char* own;
        const char* shared;
        uint32_t frames;
    };
    for (const Case c : {Case{nullptr, nullptr, 192}, Case{"63", nullptr, 192}, Case{"4097", nullptr, 192},
                         Case{"4096", nullptr, 4096}, Case{"64", "512", 64}, Case{"", "512", 512},
                         Case{nullptr, "256", 256}, Case{"abc", "512", 192}, Case{"256x", nullptr, 192},
                         Case{"+256", nullptr, 192}, Case{" 256", nullptr, 192}, Case{"-256", nullptr, 192},
                         Case{"99999999999999999999", nullptr, 192}, Case{nullptr, "1e3", 192}}) {
        Variable own("TIDEWELL_TAP_BUFFER_FRAMES", c.own);
        Variable shared("TIDEWELL_BUFFER_FRAMES", c.shared);
        EXPECT_EQ(TidewellBufferFramesFromEnvironment("TIDEWELL_TAP_BUFFER_FRAMES"), c.frames)
            << (c.own ? c.own : "(unset)") << " / " << (c.shared ? c.shared : "(unset)");
    }
}
