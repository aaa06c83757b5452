// The emulation's configuration: ORVEL_EMULATION, every scenario key and every fault it reports.
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "EmulationFixture.h"

namespace Tarnwell::test {
namespace {

using Orvel::CTlFactory;

// ---- ORVEL_EMULATION ----

struct SettingRow {
    const char* label;
    const char* setting;  // null: unset
    int cameras;          // -1: refused with `error`
    const char* error;
};

// Stable test names: the default printer shows raw bytes, pointers included.
void PrintTo(const SettingRow& row, std::ostream* out) {
    *out << row.label;
}

class Setting : public EmulationTest, public testing::WithParamInterface<SettingRow> {};

TEST_P(Setting, ChoosesTheCameras) {
    if (GetParam().setting == nullptr) {
        ::unsetenv("ORVEL_EMULATION");
    } else {
        SetEmulation(GetParam().setting);
    }
    if (GetParam().cameras < 0) {
        EXPECT_THROW_MSG(Orvel::OrvelInitialize(), GenICam::RuntimeException, GetParam().error);
        EXPECT_THROW(CTlFactory::GetInstance(), GenICam::LogicalErrorException);
        Orvel::OrvelTerminate(true);  // harmless after a failed start
        return;
    }
    Orvel::OrvelInitialize();
    EXPECT_EQ(Devices().size(), static_cast<std::size_t>(GetParam().cameras));
    Orvel::OrvelTerminate(true);
}

INSTANTIATE_TEST_SUITE_P(
    Environment, Setting,
    testing::Values(
        SettingRow{"Unset", nullptr, 2, ""}, SettingRow{"Empty", "", 2, ""},
        SettingRow{"None", "0", 0, ""}, SettingRow{"Five", "5", 5, ""},
        SettingRow{"Most", "64", 64, ""}, SettingRow{"LeadingZeros", "007", 7, ""},
        SettingRow{"TooMany", "65", -1,
                   "ORVEL_EMULATION=65: the emulation serves at most 64 cameras."},
        SettingRow{"TooManyPadded", "0100", -1,
                   "ORVEL_EMULATION=0100: the emulation serves at most 64 cameras."},
        SettingRow{"Huge", "123456789012345678901234567890", -1,
                   "ORVEL_EMULATION=123456789012345678901234567890: the emulation serves at most "
                   "64 cameras."},
        // Not digits only: a file name.
        SettingRow{"Signed", "+3", -1,
                   "Emulation scenario '+3': cannot be read (No such file or directory)"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(EmulationTest, DefaultCamerasHaveTheirIdentity) {
    Start();
    const Orvel::DeviceInfoList devices = Devices();
    ASSERT_EQ(devices.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        const std::string serial = std::to_string(40051001 + i);
        EXPECT_EQ(devices[i].GetSerialNumber(), serial);
        EXPECT_EQ(devices[i].GetFriendlyName(), "VelkorXW-" + serial);
        EXPECT_EQ(devices[i].GetIpAddress(), "169.254.1." + std::to_string(10 + i));
        EXPECT_EQ(devices[i].GetModelName(), "Velkor XW");
        EXPECT_EQ(devices[i].GetVendorName(), "Velkor");
        EXPECT_EQ(devices[i].GetDeviceClass(), kDeviceClass);
    }
    EXPECT_NE(devices[0].GetFullName(), devices[1].GetFullName());
    Orvel::ITransportLayer* tl = CTlFactory::GetInstance().CreateTl(kDeviceClass);
    EXPECT_EQ(tl->GetTlInfo().GetFriendlyName(), "Orvel Velkor XW Emulated Producer CPU");
    EXPECT_EQ(tl->GetTlInfo().GetDeviceClass(), kDeviceClass);
    EXPECT_EQ(CTlFactory::GetInstance().CreateTl("Other/Class"), nullptr);
    Orvel::TlInfoList tls;
    EXPECT_EQ(CTlFactory::GetInstance().EnumerateTls(tls), 1);
}

TEST_F(EmulationTest, EnumerationEmptiesTheListUnlessAsked) {
    Start("{\"cameras\": [{}]}");
    Orvel::ITransportLayer* tl = CTlFactory::GetInstance().CreateTl(kDeviceClass);
    Orvel::DeviceInfoList list(3);
    EXPECT_EQ(tl->EnumerateDevices(list), 1);
    EXPECT_EQ(tl->EnumerateDevices(list, true), 2);
    EXPECT_EQ(CTlFactory::GetInstance().EnumerateDevices(list), 1);
}

// ---- Scenario files ----

TEST_F(EmulationTest, ScenarioKeysShapeTheCameras) {
    Start(R"({
        // Comments are allowed.
        "transportLayerName": "Orvel Velkor XW Emulated Producer GPU 2",
        "cameras": [
            {"friendlyName": "Left", "ipAddress": "10.0.0.7"},
            {"serialNumber": "S-9"}
        ]})");
    const Orvel::DeviceInfoList devices = Devices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].GetFriendlyName(), "Left");
    EXPECT_EQ(devices[0].GetSerialNumber(), "40051001");
    EXPECT_EQ(devices[0].GetIpAddress(), "10.0.0.7");
    EXPECT_EQ(devices[1].GetFriendlyName(), "VelkorXW-S-9");
    EXPECT_EQ(devices[1].GetIpAddress(), "169.254.1.11");
    EXPECT_EQ(CTlFactory::GetInstance().CreateTl(kDeviceClass)->GetTlInfo().GetFriendlyName(),
              "Orvel Velkor XW Emulated Producer GPU 2");
    EXPECT_EQ(Camera(1).GetDeviceInfo().GetSerialNumber(), "S-9");
}

TEST_F(EmulationTest, NoCamerasAtAll) {
    Start(R"({"cameras": []})");
    EXPECT_TRUE(Devices().empty());
}

TEST_F(EmulationTest, UnavailableDeviceClassHasNoTransportLayer) {
    Start(R"({"deviceClassAvailable": false})");
    EXPECT_EQ(CTlFactory::GetInstance().CreateTl(kDeviceClass), nullptr);
    Orvel::TlInfoList tls;
    EXPECT_EQ(CTlFactory::GetInstance().EnumerateTls(tls), 0);
    Orvel::CInterfaceInfo info;
    info.SetDeviceClass(kDeviceClass);
    EXPECT_THROW_MSG(Orvel::CInstantInterface{info}, GenICam::RuntimeException,
                     "Cannot create transport layer.");
}

class InterfaceFailure : public EmulationTest,
                         public testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(InterfaceFailure, RaisesItsText) {
    Start(std::string(R"({"interfaceFailure": ")") + GetParam().first + "\"}");
    EXPECT_NE(CTlFactory::GetInstance().CreateTl(kDeviceClass), nullptr);
    Orvel::CInterfaceInfo info;
    info.SetDeviceClass(kDeviceClass);
    EXPECT_THROW_MSG(Orvel::CInstantInterface{info}, GenICam::RuntimeException, GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Scenario, InterfaceFailure,
                         testing::Values(std::pair{"transportLayer",
                                                   "Cannot create transport layer."},
                                         std::pair{"interface", "Cannot create interface."}));

TEST_F(EmulationTest, InterfaceOfAnotherClassOrIdIsRefused) {
    Start();
    Orvel::CInterfaceInfo other;
    other.SetDeviceClass("Other/Class");
    EXPECT_THROW_MSG(Orvel::CInstantInterface{other}, GenICam::RuntimeException,
                     "Cannot create transport layer.");
    Orvel::CInterfaceInfo wrongId;
    wrongId.SetDeviceClass(kDeviceClass).SetInterfaceID("eth7");
    EXPECT_THROW_MSG(Orvel::CInstantInterface{wrongId}, GenICam::RuntimeException,
                     "Cannot create interface.");
}

TEST_F(EmulationTest, UnknownDeviceCannotBeCreated) {
    Start();
    Orvel::CDeviceInfo info;
    info.SetFullName("emulated://1").SetDeviceClass(kDeviceClass);
    EXPECT_THROW_MSG(CTlFactory::GetInstance().CreateDevice(info), GenICam::RuntimeException,
                     "Cannot create device 'emulated://1': no such device.");
    info.SetDeviceClass("Other/Class");
    EXPECT_THROW_MSG(CTlFactory::GetInstance().CreateDevice(info), GenICam::RuntimeException,
                     "Cannot create device 'emulated://1': no transport layer serves device "
                     "class 'Other/Class'.");
}

TEST_F(EmulationTest, CounterOverridesAreFixed) {
    Start(FastCamera(R"("counters": {"Statistic_Failed_Packet_Count": -3,
                                     "Statistic_Total_Buffer_Count": 7})"));
    auto& camera = Camera();
    EXPECT_EQ(Counter("Statistic_Failed_Packet_Count"), -3);
    camera.AcquisitionFrameRate.SetValue(1000);
    camera.StartGrabbing();
    Orvel::CGrabResultPtr result;
    for (int i = 0; i < 3; ++i) {
        camera.RetrieveResult(5000, result);
    }
    EXPECT_EQ(Counter("Statistic_Total_Buffer_Count"), 7);
    camera.StopGrabbing();
    EXPECT_EQ(Counter("Statistic_Total_Buffer_Count"), 7);
    EXPECT_EQ(Counter("Statistic_Failed_Packet_Count"), -3);
    EXPECT_GT(Counter("Statistic_Total_Packet_Count"), 0);
}

// ---- Faults of a scenario ----

struct FaultRow {
    const char* label;
    std::string json;
    const char* fault;
};

void PrintTo(const FaultRow& row, std::ostream* out) {
    *out << row.label;
}

class ScenarioFault : public EmulationTest, public testing::WithParamInterface<FaultRow> {};

TEST_P(ScenarioFault, IsReportedWithFileAndKey) {
    const std::string path = WriteScenario(GetParam().json);
    SetEmulation(path);
    EXPECT_THROW_MSG(Orvel::OrvelInitialize(), GenICam::RuntimeException,
                     "Emulation scenario '" + path + "': " + GetParam().fault);
    // A failed start leaves the SDK stopped.
    EXPECT_THROW(CTlFactory::GetInstance(), GenICam::LogicalErrorException);
}

std::string Cameras(const std::string& camera) {
    return "{\"cameras\": [" + camera + "]}";
}

std::string ManyCameras(int count) {
    std::string list;
    for (int i = 0; i < count; ++i) {
        list += (i ? ", " : "") + std::string("{\"serialNumber\": \"") + std::to_string(i) + "\"}";
    }
    return Cameras(list);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ScenarioFault,
    testing::Values(
        FaultRow{"TopNotObject", "[1, 2]", "the top level must be an object"},
        FaultRow{"UnknownTopKey", R"({"foo": 1})", "unknown key 'foo'"},
        FaultRow{"UnknownCameraKey", Cameras(R"({"foo": 1})"), "unknown key 'foo' in cameras[0]"},
        FaultRow{"StallNegative", Cameras(R"({}, {"stallAfter": -1})"),
                 "cameras[1].stallAfter must be a non-negative integer"},
        FaultRow{"StallFraction", Cameras(R"({"stallAfter": 1.5})"),
                 "cameras[0].stallAfter must be a non-negative integer"},
        FaultRow{"StallText", Cameras(R"({"stallAfter": "3"})"),
                 "cameras[0].stallAfter must be a non-negative integer"},
        FaultRow{"ClassNotBool", R"({"deviceClassAvailable": "yes"})",
                 "deviceClassAvailable must be true or false"},
        FaultRow{"NameNotString", R"({"transportLayerName": 5})",
                 "transportLayerName must be a string"},
        FaultRow{"InterfaceFailureUnknown", R"({"interfaceFailure": "both"})",
                 "interfaceFailure must be one of none, transportLayer, interface"},
        FaultRow{"SeedNegative", R"({"seed": -1})", "seed must be a non-negative integer"},
        FaultRow{"CamerasNotArray", R"({"cameras": {}})", "cameras must be an array"},
        FaultRow{"CameraNotObject", Cameras("5"), "cameras[0] must be an object"},
        FaultRow{"TooManyCameras", ManyCameras(65),
                 "cameras has 65 entries; the emulation serves at most 64 cameras"},
        FaultRow{"UnknownNode", Cameras(R"({"missingNodes": ["Width", "Foo"]})"),
                 "cameras[0].missingNodes[1]: unknown node 'Foo'"},
        FaultRow{"NodesNotArray", Cameras(R"({"missingNodes": "Width"})"),
                 "cameras[0].missingNodes must be an array of node names"},
        FaultRow{"UnreadableNotNames", Cameras(R"({"unreadableNodes": [1]})"),
                 "cameras[0].unreadableNodes must be an array of node names"},
        FaultRow{"UnknownComponent", Cameras(R"({"missingComponents": ["Depth"]})"),
                 "cameras[0].missingComponents[0]: unknown component 'Depth'"},
        FaultRow{"NoComponentLeft",
                 Cameras(R"({"missingComponents": ["IntensityCombined", "Intensity",
                              "Disparity", "Confidence", "Error"]})"),
                 "cameras[0].missingComponents must leave a component other than RawCombined"},
        FaultRow{"FailuresNotObject", Cameras(R"({"grabFailures": 3})"),
                 "cameras[0].grabFailures must be an object"},
        FaultRow{"FailuresWithoutEvery", Cameras(R"({"grabFailures": {}})"),
                 "cameras[0].grabFailures.every is missing"},
        FaultRow{"FailuresEveryZero", Cameras(R"({"grabFailures": {"every": 0}})"),
                 "cameras[0].grabFailures.every must be a positive integer"},
        FaultRow{"FailureCodeTooBig",
                 Cameras(R"({"grabFailures": {"every": 1, "errorCode": 4294967296}})"),
                 "cameras[0].grabFailures.errorCode must be an integer from 0 to 4294967295"},
        FaultRow{"FailuresUnknownKey", Cameras(R"({"grabFailures": {"every": 1, "x": 1}})"),
                 "unknown key 'x' in cameras[0].grabFailures"},
        FaultRow{"FailureTextTooLong",
                 Cameras(R"({"grabFailures": {"every": 1, "description": ")" +
                         std::string(160, 'x') + "\"}}"),
                 "cameras[0].grabFailures.description must be at most 159 bytes long"},
        FaultRow{"StopAtZero", Cameras(R"({"stopGrabbingAfter": 0})"),
                 "cameras[0].stopGrabbingAfter must be a positive integer"},
        FaultRow{"LossAboveOne", Cameras(R"({"packetLossRate": 1.5})"),
                 "cameras[0].packetLossRate must be a number from 0 to 1"},
        FaultRow{"UnknownCounter", Cameras(R"({"counters": {"Statistic_Foo": 1}})"),
                 "cameras[0].counters: unknown counter 'Statistic_Foo'"},
        FaultRow{"CounterFraction",
                 Cameras(R"({"counters": {"Statistic_Total_Buffer_Count": 1.5}})"),
                 "cameras[0].counters.Statistic_Total_Buffer_Count must be a 64-bit integer"},
        FaultRow{"RateTooLow", Cameras(R"({"maxFrameRate": 0.25})"),
                 "cameras[0].maxFrameRate must be a number of at least 0.5"},
        FaultRow{"NoBandwidth", Cameras(R"({"linkBandwidth": 0})"),
                 "cameras[0].linkBandwidth must be a positive number"},
        FaultRow{"NegativeScale", Cameras(R"({"processingScale": -1})"),
                 "cameras[0].processingScale must be a non-negative number"},
        FaultRow{"NoBuffers", Cameras(R"({"bufferCount": 0})"),
                 "cameras[0].bufferCount must be an integer from 1 to 1024"},
        FaultRow{"TooManyBuffers", Cameras(R"({"bufferCount": 1025})"),
                 "cameras[0].bufferCount must be an integer from 1 to 1024"},
        FaultRow{"UnknownProcessing", Cameras(R"({"processing": "gpu"})"),
                 "cameras[0].processing must be one of real, modelled"},
        FaultRow{"ProcessingCase", Cameras(R"({"processing": "Real"})"),
                 "cameras[0].processing must be one of real, modelled"},
        FaultRow{"ProcessingNotText", Cameras(R"({"processing": true})"),
                 "cameras[0].processing must be one of real, modelled"},
        FaultRow{"ShortAddress", Cameras(R"({"ipAddress": "1.2.3"})"),
                 "cameras[0].ipAddress must be a dotted IPv4 address such as 169.254.1.10"},
        FaultRow{"AddressOutOfRange", Cameras(R"({"ipAddress": "256.1.1.1"})"),
                 "cameras[0].ipAddress must be a dotted IPv4 address such as 169.254.1.10"},
        FaultRow{"RepeatedSerial", Cameras(R"({}, {"serialNumber": "40051001"})"),
                 "cameras[1].serialNumber '40051001' is already used by cameras[0]"},
        FaultRow{"NameNumber", Cameras(R"({"friendlyName": 3})"),
                 "cameras[0].friendlyName must be a string"},
        // A NUL would end the text where C strings take it: the file "L.png\0.x" read as L.png.
        FaultRow{"NulInAPath", Cameras(R"({"recording": [{"left": "L.png\u0000.x"}]})"),
                 "cameras[0].recording[0].left must not contain a NUL character"},
        FaultRow{"NulInAKey", Cameras(R"({"a\u0000b": 1})"),
                 "unknown key 'a\\x00b' in cameras[0]"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(EmulationTest, UnreadableScenarioNamesTheFileAndTheCause) {
    const std::string missing =
        (Tarnwell::test::TestDirectory() / "no-such-scenario.json").string();
    SetEmulation(missing);
    EXPECT_THROW_MSG(
        Orvel::OrvelInitialize(), GenICam::RuntimeException,
        "Emulation scenario '" + missing + "': cannot be read (No such file or directory)");
}

// Makes sure only a regular file of at most 1 MiB is read, judged before reading. Example
// failure: /dev/zero grows memory without end, a FIFO blocks the start for ever, a huge file is
// read whole.
TEST_F(EmulationTest, ScenarioIsARegularFileOfAtMostOneMebibyte) {
    const std::string directory = Tarnwell::test::TestDirectory().string();
    const std::string fifo = directory + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string big = WriteScenario("{}" + std::string((1 << 20) - 1, ' '), "big");
    for (const std::string& path : {directory, std::string("/dev/zero"), fifo, big}) {
        SetEmulation(path);
        EXPECT_THROW_MSG(Orvel::OrvelInitialize(), GenICam::RuntimeException,
                         "Emulation scenario '" + path +
                             "': " + (path == big ? "larger than 1 MiB" : "not a regular file"));
    }
    // Exactly 1 MiB, through a link, is a scenario.
    std::filesystem::resize_file(big, 1 << 20);
    const std::string link = directory + "/link.json";
    std::filesystem::create_symlink(big, link);
    SetEmulation(link);
    try {
        Orvel::OrvelInitialize();
        Orvel::OrvelTerminate(true);
    } catch (const GenICam::GenericException& error) {
        ADD_FAILURE() << error.GetDescription();
    }
}

// Makes sure a key given twice is an error naming it and its object. Example failure: the last
// one silently wins, so a typo in a long scenario goes unnoticed.
TEST_F(EmulationTest, DuplicateKeysAreRefusedWithWhereTheyAre) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {R"({"seed": 1, "seed": 2})", "duplicate key 'seed'"},
        {R"({"cameras": [{}, {"friendlyName": "a", "ipAddress": "1.2.3.4", "friendlyName": "b"}]})",
         "duplicate key 'friendlyName' in cameras[1]"},
        {R"({"cameras": [{"grabFailures": {"every": 1, "every": 2}}]})",
         "duplicate key 'every' in cameras[0].grabFailures"},
        // Longer than a short string's inline buffer, so a key read after its object is gone
        // shows under AddressSanitizer.
        {R"({"cameras": [{"stopGrabbingAfter": 1, "stopGrabbingAfter": 2}]})",
         "duplicate key 'stopGrabbingAfter' in cameras[0]"},
        {R"({"cameras": [{"counters": {}}], "cameras": []})", "duplicate key 'cameras'"},
    };
    for (const auto& [json, fault] : cases) {
        const std::string path = WriteScenario(json);
        SetEmulation(path);
        EXPECT_THROW_MSG(Orvel::OrvelInitialize(), GenICam::RuntimeException,
                         "Emulation scenario '" + path + "': " + fault);
    }
    // The same key in sibling objects is no duplicate.
    SetEmulation(WriteScenario(R"({"cameras": [{"friendlyName": "a"}, {"friendlyName": "b"}]})"));
    EXPECT_NO_THROW(Orvel::OrvelInitialize());
    Orvel::OrvelTerminate(true);
}

TEST_F(EmulationTest, InvalidJsonCarriesTheParserMessage) {
    const std::string path = WriteScenario("{\"cameras\": [");
    SetEmulation(path);
    try {
        Orvel::OrvelInitialize();
        ADD_FAILURE() << "no exception";
    } catch (const GenICam::RuntimeException& error) {
        const std::string text = error.GetDescription();
        const std::string prefix = "Emulation scenario '" + path + "': not valid JSON: ";
        EXPECT_EQ(text.substr(0, prefix.size()), prefix);
        EXPECT_NE(text.find("parse error"), std::string::npos) << text;
    }
    // A good setting afterwards starts normally.
    Start();
    EXPECT_EQ(Devices().size(), 2u);
}

}  // namespace
}  // namespace Tarnwell::test
