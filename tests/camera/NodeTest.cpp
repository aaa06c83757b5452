// Node semantics of the emulated camera: types, access, ranges, entries, units, selectors,
// callbacks and the typed views.
#include <cmath>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EmulationFixture.h"

namespace Tarnwell::test {
namespace {

using GenApi::INodeMap;

// ---- Every feature as the camera describes it after opening ----

struct FeatureRow {
    const char* name;
    GenApi::EInterfaceType type;
    GenApi::EAccessMode access;
    const char* unit;   // integer and float features
    const char* value;  // ToString of the default; null for commands
};

// Stable test names: the default printer shows raw bytes, pointers included.
void PrintTo(const FeatureRow& row, std::ostream* out) {
    *out << row.name;
}

class FeatureTable : public EmulationTest, public testing::WithParamInterface<FeatureRow> {};

TEST_P(FeatureTable, HasItsTypeAccessUnitAndDefault) {
    Start();
    INodeMap& map = Camera().GetNodeMap();
    const FeatureRow& row = GetParam();
    GenApi::INode* node = map.GetNode(row.name);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->GetName(), row.name);
    EXPECT_EQ(node->GetPrincipalInterfaceType(), row.type);
    EXPECT_EQ(node->GetAccessMode(), row.access);
    if (GenApi::CIntegerPtr integer(node); integer) {
        EXPECT_EQ(integer->GetUnit(), row.unit);
    }
    if (GenApi::CFloatPtr number(node); number) {
        EXPECT_EQ(number->GetUnit(), row.unit);
    }
    if (row.value != nullptr) {
        EXPECT_EQ(GenApi::CValuePtr(node)->ToString(), row.value);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Defaults, FeatureTable,
    testing::Values(
        FeatureRow{"VkrDepthQuality", GenApi::intfIEnumeration, GenApi::RW, "", "High"},
        FeatureRow{"AcquisitionFrameRate", GenApi::intfIFloat, GenApi::RW, "Hz", "10"},
        FeatureRow{"BinningHorizontal", GenApi::intfIInteger, GenApi::RW, "", "1"},
        FeatureRow{"BinningVertical", GenApi::intfIInteger, GenApi::RW, "", "1"},
        FeatureRow{"VkrIlluminationStrength", GenApi::intfIFloat, GenApi::RW, "", "0"},
        FeatureRow{"VkrComponentMode", GenApi::intfIEnumeration, GenApi::RW, "",
                   "SynchronizedAlternateComponents"},
        FeatureRow{"ComponentSelector", GenApi::intfIEnumeration, GenApi::RW, "", "Intensity"},
        FeatureRow{"ComponentEnable", GenApi::intfIBoolean, GenApi::RW, "", "true"},
        FeatureRow{"Width", GenApi::intfIInteger, GenApi::RO, "px", "1920"},
        FeatureRow{"Height", GenApi::intfIInteger, GenApi::RO, "px", "1200"},
        FeatureRow{"PayloadSize", GenApi::intfIInteger, GenApi::RO, "B", "3456000"},
        FeatureRow{"GevSCPD", GenApi::intfIInteger, GenApi::RW, "ns", "0"},
        FeatureRow{"GevSCPSPacketSize", GenApi::intfIInteger, GenApi::RW, "B", "1500"},
        FeatureRow{"TriggerMode", GenApi::intfIEnumeration, GenApi::RW, "", "Off"},
        FeatureRow{"TriggerSoftware", GenApi::intfICommand, GenApi::NA, "", nullptr},
        FeatureRow{"Statistic_Total_Buffer_Count", GenApi::intfIInteger, GenApi::RO, "", "0"},
        FeatureRow{"Statistic_Failed_Buffer_Count", GenApi::intfIInteger, GenApi::RO, "", "0"},
        FeatureRow{"Statistic_Buffer_Underrun_Count", GenApi::intfIInteger, GenApi::RO, "", "0"},
        FeatureRow{"Statistic_Total_Packet_Count", GenApi::intfIInteger, GenApi::RO, "", "0"},
        FeatureRow{"Statistic_Failed_Packet_Count", GenApi::intfIInteger, GenApi::RO, "", "0"},
        FeatureRow{"Statistic_Resend_Request_Count", GenApi::intfIInteger, GenApi::RO, "", "0"},
        FeatureRow{"Statistic_Resend_Packet_Count", GenApi::intfIInteger, GenApi::RO, "", "0"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Rejected writes: the type, the text, and the value left as it was ----

struct RejectRow {
    const char* label;
    const char* feature;
    std::function<void(Orvel::CVelkorUniversalInstantCamera&)> write;
    const char* type;
    const char* text;
};

void PrintTo(const RejectRow& row, std::ostream* out) {
    *out << row.label;
}

class RejectedWrites : public EmulationTest, public testing::WithParamInterface<RejectRow> {};

TEST_P(RejectedWrites, RaiseNamingTheFeatureAndKeepTheValue) {
    Start();
    auto& camera = Camera();
    GenApi::CValuePtr value(camera.GetNodeMap().GetNode(GetParam().feature));
    ASSERT_TRUE(value.IsValid());
    const std::string before = GenApi::IsReadable(value) ? value->ToString().str() : "";
    try {
        GetParam().write(camera);
        ADD_FAILURE() << "no exception";
    } catch (const GenICam::GenericException& error) {
        EXPECT_STREQ(error.GetExceptionType(), GetParam().type);
        EXPECT_STREQ(error.GetDescription(), GetParam().text);
    }
    if (GenApi::IsReadable(value)) {
        EXPECT_EQ(value->ToString(), before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, RejectedWrites,
    testing::Values(
        RejectRow{"RateAboveMaximum", "AcquisitionFrameRate",
                  [](auto& c) { c.AcquisitionFrameRate.SetValue(500); }, "OutOfRangeException",
                  "[AcquisitionFrameRate] value 500 above maximum 100"},
        RejectRow{"RateBelowMinimum", "AcquisitionFrameRate",
                  [](auto& c) { c.AcquisitionFrameRate.SetValue(0.1); }, "OutOfRangeException",
                  "[AcquisitionFrameRate] value 0.1 below minimum 0.5"},
        RejectRow{"RateNotANumber", "AcquisitionFrameRate",
                  [](auto& c) {
                      c.AcquisitionFrameRate.SetValue(std::numeric_limits<double>::quiet_NaN());
                  },
                  "InvalidArgumentException", "[AcquisitionFrameRate] value nan is not a number"},
        RejectRow{"RateInfinite", "AcquisitionFrameRate",
                  [](auto& c) {
                      c.AcquisitionFrameRate.SetValue(std::numeric_limits<double>::infinity());
                  },
                  "OutOfRangeException", "[AcquisitionFrameRate] value inf above maximum 100"},
        RejectRow{
            "IlluminationAboveOne", "VkrIlluminationStrength",
            [](auto& c) {
                GenApi::CFloatPtr(c.GetNodeMap().GetNode("VkrIlluminationStrength"))->SetValue(1.5);
            },
            "OutOfRangeException", "[VkrIlluminationStrength] value 1.5 above maximum 1"},
        RejectRow{"IlluminationNegative", "VkrIlluminationStrength",
                  [](auto& c) { c.VkrIlluminationStrength.SetValue(-0.25); }, "OutOfRangeException",
                  "[VkrIlluminationStrength] value -0.25 below minimum 0"},
        RejectRow{"BinningThree", "BinningHorizontal",
                  [](auto& c) { c.BinningHorizontal.SetValue(3); }, "OutOfRangeException",
                  "[BinningHorizontal] value 3 not one of 1, 2, 4"},
        RejectRow{"BinningMinusOne", "BinningVertical",
                  [](auto& c) { c.BinningVertical.SetValue(-1); }, "OutOfRangeException",
                  "[BinningVertical] value -1 not one of 1, 2, 4"},
        RejectRow{
            "BinningText", "BinningHorizontal",
            [](auto& c) {
                GenApi::CIntegerPtr(c.GetNodeMap().GetNode("BinningHorizontal"))->FromString("two");
            },
            "InvalidArgumentException", "[BinningHorizontal] 'two' is not an integer"},
        RejectRow{"DelayNegative", "GevSCPD", [](auto& c) { c.GevSCPD.SetValue(-1); },
                  "OutOfRangeException", "[GevSCPD] value -1 below minimum 0"},
        RejectRow{"DelayTooLong", "GevSCPD", [](auto& c) { c.GevSCPD.SetValue(1000001); },
                  "OutOfRangeException", "[GevSCPD] value 1000001 above maximum 1000000"},
        RejectRow{"PacketOffIncrement", "GevSCPSPacketSize",
                  [](auto& c) { c.GevSCPSPacketSize.SetValue(1501); }, "OutOfRangeException",
                  "[GevSCPSPacketSize] value 1501 not on increment 4 from minimum 576"},
        RejectRow{"PacketTooSmall", "GevSCPSPacketSize",
                  [](auto& c) { c.GevSCPSPacketSize.SetValue(572); }, "OutOfRangeException",
                  "[GevSCPSPacketSize] value 572 below minimum 576"},
        RejectRow{"PacketTooLarge", "GevSCPSPacketSize",
                  [](auto& c) { c.GevSCPSPacketSize.SetValue(9004); }, "OutOfRangeException",
                  "[GevSCPSPacketSize] value 9004 above maximum 9000"},
        RejectRow{"QualityUnknown", "VkrDepthQuality",
                  [](auto& c) { c.VkrDepthQuality.SetValue("Ultra"); }, "InvalidArgumentException",
                  "[VkrDepthQuality] no entry 'Ultra'; entries: Low, Medium, High, Full"},
        RejectRow{"QualityCaseMatters", "VkrDepthQuality",
                  [](auto& c) { c.VkrDepthQuality.SetValue("high"); }, "InvalidArgumentException",
                  "[VkrDepthQuality] no entry 'high'; entries: Low, Medium, High, Full"},
        RejectRow{"TriggerModeUnknown", "TriggerMode",
                  [](auto& c) { c.TriggerMode.SetValue("Maybe"); }, "InvalidArgumentException",
                  "[TriggerMode] no entry 'Maybe'; entries: Off, On"},
        RejectRow{"RawCombinedUnavailable", "ComponentSelector",
                  [](auto& c) { c.ComponentSelector.SetValue("RawCombined"); }, "AccessException",
                  "[ComponentSelector] entry 'RawCombined' not available in component mode "
                  "'SynchronizedAlternateComponents'"},
        RejectRow{"PayloadReadOnly", "PayloadSize",
                  [](auto& c) {
                      GenApi::CIntegerPtr(c.GetNodeMap().GetNode("PayloadSize"))->SetValue(1);
                  },
                  "AccessException", "[PayloadSize] not writable"},
        RejectRow{"WidthReadOnly", "Width", [](auto& c) { c.Width.SetValue(640); },
                  "AccessException", "[Width] not writable"},
        RejectRow{"CounterReadOnly", "Statistic_Total_Buffer_Count",
                  [](auto& c) {
                      GenApi::CIntegerPtr(c.GetNodeMap().GetNode("Statistic_Total_Buffer_Count"))
                          ->SetValue(0);
                  },
                  "AccessException", "[Statistic_Total_Buffer_Count] not writable"},
        RejectRow{"TriggerWhileIdle", "TriggerSoftware",
                  [](auto& c) { c.TriggerSoftware.Execute(); }, "AccessException",
                  "[TriggerSoftware] not available: the camera is not grabbing with TriggerMode "
                  "On"}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- Accepted writes ----

TEST_F(EmulationTest, WritesWithinRangeAreStoredExactly) {
    Start();
    auto& camera = Camera();
    // The single-precision 29.97 widened to double must survive unrounded.
    camera.AcquisitionFrameRate.SetValue(static_cast<double>(29.97f));
    EXPECT_EQ(camera.AcquisitionFrameRate.GetValue(), static_cast<double>(29.97f));
    camera.AcquisitionFrameRate.SetValue(100);
    camera.AcquisitionFrameRate.SetValue(0.5);
    EXPECT_EQ(camera.AcquisitionFrameRate.GetValue(), 0.5);
    for (std::int64_t binning : {1, 2, 4}) {
        camera.BinningHorizontal.SetValue(binning);
        camera.BinningVertical.SetValue(binning);
        EXPECT_EQ(camera.BinningHorizontal.GetValue(), binning);
        EXPECT_EQ(camera.BinningVertical.GetValue(), binning);
    }
    for (const char* quality : {"Low", "Medium", "High", "Full"}) {
        camera.VkrDepthQuality.SetValue(quality);
        EXPECT_EQ(camera.VkrDepthQuality.GetValue(), quality);
    }
    camera.GevSCPSPacketSize.SetValue(9000);
    camera.GevSCPSPacketSize.SetValue(576);
    camera.GevSCPD.SetValue(1000000);
    EXPECT_EQ(camera.GevSCPSPacketSize.GetValue(), 576);
    EXPECT_EQ(camera.GevSCPD.GetValue(), 1000000);
    camera.VkrIlluminationStrength.SetValue(0.5);
    EXPECT_EQ(camera.VkrIlluminationStrength.GetValue(), 0.5);
}

TEST_F(EmulationTest, LimitsDescribeTheAcceptedValues) {
    Start(R"({"cameras": [{"maxFrameRate": 250}]})");
    auto& camera = Camera();
    EXPECT_EQ(camera.AcquisitionFrameRate.GetMin(), 0.5);
    EXPECT_EQ(camera.AcquisitionFrameRate.GetMax(), 250);
    camera.AcquisitionFrameRate.SetValue(250);
    EXPECT_EQ(camera.GevSCPSPacketSize.GetMin(), 576);
    EXPECT_EQ(camera.GevSCPSPacketSize.GetMax(), 9000);
    EXPECT_EQ(camera.GevSCPSPacketSize.GetInc(), 4);
    GenApi::CIntegerPtr binning(camera.GetNodeMap().GetNode("BinningHorizontal"));
    EXPECT_EQ(binning->GetValidValueSet(), (std::vector<std::int64_t>{1, 2, 4}));
    GenApi::CIntegerPtr delay(camera.GetNodeMap().GetNode("GevSCPD"));
    EXPECT_TRUE(delay->GetValidValueSet().empty());
    GenApi::StringList_t entries;
    camera.ComponentSelector.GetSymbolics(entries);
    EXPECT_EQ(entries, (GenApi::StringList_t{"IntensityCombined", "Intensity", "Disparity",
                                             "Confidence", "Error", "RawCombined"}));
}

TEST_F(EmulationTest, DefaultFrameRateFollowsALowerMaximum) {
    Start(R"({"cameras": [{"maxFrameRate": 4}]})");
    EXPECT_EQ(Camera().AcquisitionFrameRate.GetValue(), 4);
}

// ---- Selectors ----

TEST_F(EmulationTest, ComponentEnableBelongsToTheSelectedComponent) {
    Start();
    auto& camera = Camera();
    const std::vector<std::pair<const char*, bool>> defaults{{"IntensityCombined", false},
                                                             {"Intensity", true},
                                                             {"Disparity", true},
                                                             {"Confidence", false},
                                                             {"Error", false}};
    for (const auto& [component, enabled] : defaults) {
        camera.ComponentSelector.SetValue(component);
        EXPECT_EQ(camera.ComponentEnable.GetValue(), enabled) << component;
    }
    camera.ComponentSelector.SetValue("Confidence");
    camera.ComponentEnable.SetValue(true);
    camera.ComponentSelector.SetValue("Intensity");
    camera.ComponentEnable.SetValue(false);
    camera.ComponentSelector.SetValue("Confidence");
    EXPECT_TRUE(camera.ComponentEnable.GetValue());
    camera.ComponentSelector.SetValue("Disparity");
    EXPECT_TRUE(camera.ComponentEnable.GetValue());
    camera.ComponentSelector.SetValue("Intensity");
    EXPECT_FALSE(camera.ComponentEnable.GetValue());
}

// RawCombined travels only in SingleComponent mode; its enable state survives the other mode.
TEST_F(EmulationTest, RawCombinedOnlyInSingleComponentMode) {
    Start();
    auto& camera = Camera();
    EXPECT_FALSE(camera.ComponentSelector.CanSetValue("RawCombined"));
    EXPECT_FALSE(camera.ComponentSelector.TrySetValue("RawCombined"));
    GenApi::CEnumerationPtr selector(camera.GetNodeMap().GetNode("ComponentSelector"));
    EXPECT_FALSE(selector->IsEntryAvailable("RawCombined"));
    EXPECT_TRUE(selector->IsEntryAvailable("Error"));
    EXPECT_FALSE(selector->IsEntryAvailable("Nothing"));
    EXPECT_EQ(camera.ComponentSelector.GetValue(), "Intensity");

    camera.VkrComponentMode.SetValue("SingleComponent");
    const std::int64_t without = camera.PayloadSize.GetValue();
    EXPECT_TRUE(camera.ComponentSelector.TrySetValue("RawCombined"));
    camera.ComponentEnable.SetValue(true);
    EXPECT_EQ(camera.PayloadSize.GetValue(), without + 1920 * 2400);

    // Leaving the mode moves the selector off the entry that disappears.
    camera.VkrComponentMode.SetValue("SynchronizedAlternateComponents");
    EXPECT_EQ(camera.ComponentSelector.GetValue(), "Intensity");
    EXPECT_EQ(camera.PayloadSize.GetValue(), without);

    camera.VkrComponentMode.SetValue("SingleComponent");
    camera.ComponentSelector.SetValue("RawCombined");
    EXPECT_TRUE(camera.ComponentEnable.GetValue());
    EXPECT_EQ(camera.PayloadSize.GetValue(), without + 1920 * 2400);
}

TEST_F(EmulationTest, MissingComponentIsNoEntry) {
    Start(R"({"cameras": [{"missingComponents": ["RawCombined", "Intensity"]}]})");
    auto& camera = Camera();
    camera.VkrComponentMode.SetValue("SingleComponent");
    EXPECT_FALSE(camera.ComponentSelector.TrySetValue("RawCombined"));
    EXPECT_THROW_MSG(camera.ComponentSelector.SetValue("RawCombined"),
                     GenICam::InvalidArgumentException,
                     "[ComponentSelector] no entry 'RawCombined'; entries: IntensityCombined, "
                     "Disparity, Confidence, Error");
    // The default selection falls to the first component the camera has.
    EXPECT_EQ(camera.ComponentSelector.GetValue(), "IntensityCombined");
    // Intensity is enabled by default but absent: only Disparity counts.
    EXPECT_EQ(camera.PayloadSize.GetValue(), 960 * 600 * 2);
}

// ---- Callbacks ----

TEST_F(EmulationTest, CallbacksFollowEverySuccessfulWriteInOrder) {
    Start();
    auto& camera = Camera();
    INodeMap& map = camera.GetNodeMap();
    std::vector<std::string> writes;
    auto record = [&](GenApi::INode* node) {
        std::string value = GenApi::CValuePtr(node)->ToString().str();
        writes.push_back(node->GetName().str() + "=" + value);
    };
    GenApi::Register(map.GetNode("ComponentSelector"), record);
    const auto handle = GenApi::Register(map.GetNode("ComponentEnable"), record);
    GenApi::Register(map.GetNode("VkrComponentMode"), record);

    camera.ComponentSelector.SetValue("Error");
    camera.ComponentEnable.SetValue(true);
    EXPECT_FALSE(camera.ComponentSelector.TrySetValue("RawCombined"));  // no write, no callback
    EXPECT_THROW(camera.ComponentSelector.SetValue("Nothing"), GenICam::InvalidArgumentException);
    camera.VkrComponentMode.SetValue("SingleComponent");
    camera.ComponentSelector.SetValue("RawCombined");
    // The mode change moves the selector as a side effect: not a write to the selector.
    camera.VkrComponentMode.SetValue("SynchronizedAlternateComponents");
    EXPECT_TRUE(GenApi::Deregister(map.GetNode("ComponentEnable"), handle));
    EXPECT_FALSE(GenApi::Deregister(map.GetNode("ComponentEnable"), handle));
    camera.ComponentEnable.SetValue(false);

    EXPECT_EQ(writes, (std::vector<std::string>{
                          "ComponentSelector=Error", "ComponentEnable=true",
                          "VkrComponentMode=SingleComponent", "ComponentSelector=RawCombined",
                          "VkrComponentMode=SynchronizedAlternateComponents"}));
}

// ---- Typed views and generated parameters ----

TEST_F(EmulationTest, EmptyViewRaisesNullPointer) {
    Start(R"({"cameras": [{"missingNodes": ["VkrIlluminationStrength"]}]})");
    auto& camera = Camera();
    INodeMap& map = camera.GetNodeMap();
    GenApi::CFloatPtr missing(map.GetNode("VkrIlluminationStrength"));
    EXPECT_FALSE(missing.IsValid());
    EXPECT_FALSE(GenApi::IsReadable(missing));
    EXPECT_THROW_MSG(missing->SetValue(0.5), GenICam::LogicalErrorException,
                     "NULL pointer dereferenced");
    // A node of another type gives an empty view too.
    GenApi::CIntegerPtr wrongType(map.GetNode("AcquisitionFrameRate"));
    EXPECT_FALSE(wrongType.IsValid());
    EXPECT_THROW_MSG(wrongType->GetValue(), GenICam::LogicalErrorException,
                     "NULL pointer dereferenced");
    GenApi::CNodePtr any(map.GetNode("AcquisitionFrameRate"));
    EXPECT_TRUE(any.IsValid());
    EXPECT_FALSE(GenApi::CIntegerPtr(nullptr).IsValid());
    // The generated parameter of the absent feature names it.
    EXPECT_FALSE(camera.VkrIlluminationStrength.IsValid());
    EXPECT_FALSE(camera.VkrIlluminationStrength.IsWritable());
    EXPECT_THROW_MSG(camera.VkrIlluminationStrength.SetValue(0.5), GenICam::AccessException,
                     "[VkrIlluminationStrength] the camera has no such feature");
}

TEST_F(EmulationTest, UnreadableNodesBecomeWriteOnlyOrUnavailable) {
    Start(R"({"cameras": [{"unreadableNodes": ["GevSCPD", "PayloadSize"]}]})");
    auto& camera = Camera();
    EXPECT_FALSE(camera.GevSCPD.IsReadable());
    EXPECT_TRUE(camera.GevSCPD.IsWritable());
    EXPECT_EQ(camera.GevSCPD.GetNode()->GetAccessMode(), GenApi::WO);
    EXPECT_EQ(camera.PayloadSize.GetNode()->GetAccessMode(), GenApi::NA);
    EXPECT_TRUE(camera.GevSCPSPacketSize.IsReadable());
    EXPECT_THROW_MSG(camera.GevSCPD.GetValue(), GenICam::AccessException, "[GevSCPD] not readable");
    camera.GevSCPD.SetValue(100);
}

TEST_F(EmulationTest, ClosedCameraRefusesItsParameters) {
    Start();
    auto& camera = Camera(0, false);
    EXPECT_FALSE(camera.Width.IsReadable());
    EXPECT_THROW_MSG(camera.Width.GetValue(), GenICam::AccessException,
                     "[Width] cannot be used: the camera is not open");
    camera.Open();
    GenApi::CIntegerPtr width(camera.GetNodeMap().GetNode("Width"));
    camera.Close();
    // A view taken while open does not outlive the opening.
    EXPECT_EQ(width->GetAccessMode(), GenApi::NA);
    EXPECT_THROW_MSG(width->GetValue(), GenICam::AccessException,
                     "[Width] cannot be used: the camera is not open");
    EXPECT_THROW_MSG(camera.Width.GetValue(), GenICam::AccessException,
                     "[Width] cannot be used: the camera is not open");
}

// ---- Access while grabbing ----

class LockedWhileGrabbing : public EmulationTest,
                            public testing::WithParamInterface<const char*> {};

TEST_P(LockedWhileGrabbing, IsReadOnly) {
    Start();
    auto& camera = Camera();
    GenApi::CValuePtr value(camera.GetNodeMap().GetNode(GetParam()));
    const std::string current = value->ToString().str();
    camera.StartGrabbing();
    EXPECT_EQ(value->GetAccessMode(), GenApi::RO);
    EXPECT_THROW_MSG(value->FromString(current), GenICam::AccessException,
                     "[" + std::string(GetParam()) + "] not writable while the camera is grabbing");
    camera.StopGrabbing();
    EXPECT_EQ(value->GetAccessMode(), GenApi::RW);
    value->FromString(current);
}

INSTANTIATE_TEST_SUITE_P(EngineFeatures, LockedWhileGrabbing,
                         testing::Values("VkrDepthQuality", "AcquisitionFrameRate",
                                         "BinningHorizontal", "BinningVertical", "VkrComponentMode",
                                         "ComponentEnable", "GevSCPD", "GevSCPSPacketSize",
                                         "TriggerMode"));

TEST_F(EmulationTest, SelectorAndIlluminationStayWritableWhileGrabbing) {
    Start();
    auto& camera = Camera();
    camera.StartGrabbing();
    camera.ComponentSelector.SetValue("Disparity");
    camera.VkrIlluminationStrength.SetValue(0.75);
    EXPECT_EQ(camera.Width.GetValue(), 960);
}

// ---- State that survives closing ----

TEST_F(EmulationTest, SettingsPersistAcrossOpeningsAndCountersRestart) {
    Start(FastCamera());
    auto& camera = Camera();
    camera.VkrDepthQuality.SetValue("Low");
    camera.BinningHorizontal.SetValue(2);
    camera.AcquisitionFrameRate.SetValue(1000);
    camera.StartGrabbing();
    Orvel::CGrabResultPtr result;
    camera.RetrieveResult(5000, result);
    camera.StopGrabbing();
    EXPECT_GE(Counter("Statistic_Total_Buffer_Count"), 1);
    camera.Close();
    camera.Open();
    EXPECT_EQ(camera.VkrDepthQuality.GetValue(), "Low");
    EXPECT_EQ(camera.BinningHorizontal.GetValue(), 2);
    EXPECT_EQ(camera.Width.GetValue(), 960);
    EXPECT_EQ(Counter("Statistic_Total_Buffer_Count"), 0);
    EXPECT_EQ(Counter("Statistic_Total_Packet_Count"), 0);
}

// The default configuration turns the trigger off on every opening; replacing it keeps the
// camera's own setting.
TEST_F(EmulationTest, DefaultConfigurationSetsContinuousAcquisition) {
    Start();
    auto& camera = Camera();
    camera.TriggerMode.SetValue("On");
    camera.Close();
    camera.Open();
    EXPECT_EQ(camera.TriggerMode.GetValue(), "Off");
    camera.TriggerMode.SetValue("On");
    camera.RegisterConfiguration(new Orvel::CConfigurationEventHandler,
                                 Orvel::RegistrationMode_ReplaceAll, Orvel::Cleanup_Delete);
    camera.Close();
    camera.Open();
    EXPECT_EQ(camera.TriggerMode.GetValue(), "On");
}

}  // namespace
}  // namespace Tarnwell::test
