// Image geometry, payload size and packet counts of the emulated camera.
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EmulationFixture.h"

namespace Tarnwell::test {
namespace {

struct GeometryRow {
    const char* quality;
    std::int64_t binning;
    // Width x height of IntensityCombined, Intensity, Disparity, Confidence, Error, RawCombined.
    std::vector<std::pair<std::int64_t, std::int64_t>> sizes;
};

// Stable test names: the default printer shows raw bytes, pointers included.
void PrintTo(const GeometryRow& row, std::ostream* out) {
    *out << row.quality << row.binning;
}

class Geometry : public EmulationTest, public testing::WithParamInterface<GeometryRow> {};

TEST_P(Geometry, FollowsQualityAndBinning) {
    Start();
    auto& camera = Camera();
    camera.VkrDepthQuality.SetValue(GetParam().quality);
    camera.BinningHorizontal.SetValue(GetParam().binning);
    camera.BinningVertical.SetValue(GetParam().binning);
    camera.VkrComponentMode.SetValue("SingleComponent");
    const char* components[] = {"IntensityCombined", "Intensity", "Disparity",
                                "Confidence",        "Error",     "RawCombined"};
    for (std::size_t i = 0; i < 6; ++i) {
        camera.ComponentSelector.SetValue(components[i]);
        EXPECT_EQ(camera.Width.GetValue(), GetParam().sizes[i].first) << components[i];
        EXPECT_EQ(camera.Height.GetValue(), GetParam().sizes[i].second) << components[i];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Components, Geometry,
    testing::Values(
        GeometryRow{"High",
                    1,
                    {{1920, 2400}, {1920, 1200}, {960, 600}, {960, 600}, {960, 600}, {1920, 2400}}},
        GeometryRow{
            "Full",
            1,
            {{1920, 2400}, {1920, 1200}, {1920, 1200}, {1920, 1200}, {1920, 1200}, {1920, 2400}}},
        GeometryRow{"Medium",
                    2,
                    {{960, 1200}, {960, 600}, {240, 150}, {240, 150}, {240, 150}, {960, 1200}}},
        // 300 / 8 rounds down.
        GeometryRow{"Low", 4, {{480, 600}, {480, 300}, {60, 37}, {60, 37}, {60, 37}, {480, 600}}}),
    [](const auto& info) {
        return std::string(info.param.quality) + "Binning" + std::to_string(info.param.binning);
    });

struct PayloadRow {
    const char* label;
    const char* mode;
    const char* quality;
    std::int64_t binning;
    std::vector<const char*> enabled;
    std::int64_t payload;
};

void PrintTo(const PayloadRow& row, std::ostream* out) {
    *out << row.label;
}

class Payload : public EmulationTest, public testing::WithParamInterface<PayloadRow> {};

TEST_P(Payload, SumsTheEnabledTransmissibleComponents) {
    Start();
    auto& camera = Camera();
    const PayloadRow& row = GetParam();
    camera.VkrComponentMode.SetValue(row.mode);
    camera.VkrDepthQuality.SetValue(row.quality);
    camera.BinningHorizontal.SetValue(row.binning);
    camera.BinningVertical.SetValue(row.binning);
    camera.VkrComponentMode.SetValue("SingleComponent");
    for (const char* c :
         {"IntensityCombined", "Intensity", "Disparity", "Confidence", "Error", "RawCombined"}) {
        camera.ComponentSelector.SetValue(c);
        camera.ComponentEnable.SetValue(
            std::find(row.enabled.begin(), row.enabled.end(), std::string(c)) != row.enabled.end());
    }
    camera.VkrComponentMode.SetValue(row.mode);
    EXPECT_EQ(camera.PayloadSize.GetValue(), row.payload);
}

INSTANTIATE_TEST_SUITE_P(
    Selections, Payload,
    testing::Values(
        PayloadRow{"Default",
                   "SynchronizedAlternateComponents",
                   "High",
                   1,
                   {"Intensity", "Disparity"},
                   2304000 + 1152000},
        PayloadRow{
            "IntensityBinned", "SynchronizedAlternateComponents", "High", 2, {"Intensity"}, 576000},
        PayloadRow{"RawOnly", "SingleComponent", "High", 1, {"RawCombined"}, 4608000},
        // RawCombined is not transmitted in the alternating mode.
        PayloadRow{"RawInAlternateMode",
                   "SynchronizedAlternateComponents",
                   "High",
                   1,
                   {"RawCombined", "Error"},
                   576000},
        PayloadRow{
            "Everything",
            "SingleComponent",
            "Full",
            1,
            {"IntensityCombined", "Intensity", "Disparity", "Confidence", "Error", "RawCombined"},
            20736000},
        PayloadRow{"DepthOnlyLow",
                   "SynchronizedAlternateComponents",
                   "Low",
                   4,
                   {"Disparity", "Confidence", "Error"},
                   60 * 37 * 4},
        PayloadRow{"Nothing", "SynchronizedAlternateComponents", "High", 1, {}, 0}),
    [](const auto& info) { return std::string(info.param.label); });

// Packets per frame: the raw pair over the packet's data part, plus leader and trailer, whatever
// the components the host computes from it.
struct PacketRow {
    std::int64_t packetSize;
    std::int64_t packets;
};

void PrintTo(const PacketRow& row, std::ostream* out) {
    *out << row.packetSize;
}

class Packets : public EmulationTest, public testing::WithParamInterface<PacketRow> {};

TEST_P(Packets, PerFrameFollowTheRawPairAndPacketSize) {
    Start(FastCamera());
    auto& camera = Camera();
    camera.ComponentSelector.SetValue("Disparity");
    camera.ComponentEnable.SetValue(false);
    camera.BinningHorizontal.SetValue(2);
    camera.BinningVertical.SetValue(2);  // The pair: 960 x 1200 = 1152000 bytes
    camera.GevSCPSPacketSize.SetValue(GetParam().packetSize);
    camera.AcquisitionFrameRate.SetValue(1000);
    camera.StartGrabbing();
    Orvel::CGrabResultPtr result;
    for (int i = 0; i < 5; ++i) {
        camera.RetrieveResult(5000, result);
    }
    camera.StopGrabbing();
    const std::int64_t frames =
        Counter("Statistic_Total_Buffer_Count") + Counter("Statistic_Buffer_Underrun_Count");
    EXPECT_GE(frames, 5);
    EXPECT_EQ(Counter("Statistic_Total_Packet_Count"), frames * GetParam().packets);
    EXPECT_EQ(Counter("Statistic_Failed_Packet_Count"), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Packets,
                         testing::Values(PacketRow{1500, 787 + 2}, PacketRow{9000, 129 + 2},
                                         PacketRow{576, 2134 + 2}));

}  // namespace
}  // namespace Tarnwell::test
