// Life cycles: the SDK's start and end, the camera's state gate, ownership of devices and
// handlers, and the misuse that aborts.
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EmulationFixture.h"

namespace Tarnwell::test {
namespace {

using Orvel::CTlFactory;

// ---- The SDK ----

TEST_F(EmulationTest, FactoryNeedsTheSdk) {
    EXPECT_THROW_MSG(CTlFactory::GetInstance(), GenICam::LogicalErrorException,
                     "CTlFactory::GetInstance: the SDK is not initialised; call OrvelInitialize "
                     "first.");
    Orvel::CInterfaceInfo info;
    info.SetDeviceClass(kDeviceClass);
    EXPECT_THROW(Orvel::CInstantInterface{info}, GenICam::LogicalErrorException);
    Orvel::OrvelTerminate(true);  // harmless without a start
}

TEST_F(EmulationTest, StartsNest) {
    SetEmulation("1");
    Orvel::OrvelInitialize();
    Orvel::OrvelInitialize();
    Orvel::OrvelTerminate(true);
    EXPECT_EQ(Devices().size(), 1u);
    Orvel::OrvelTerminate(true);
    EXPECT_THROW(CTlFactory::GetInstance(), GenICam::LogicalErrorException);
    Orvel::OrvelTerminate(true);
    {
        Orvel::OrvelAutoInitTerm sdk;
        EXPECT_EQ(Devices().size(), 1u);
    }
    EXPECT_THROW(CTlFactory::GetInstance(), GenICam::LogicalErrorException);
}

// ---- The camera's state gate: every call in every state ----

enum class State { NoDevice, Closed, Open, Grabbing };
const char* const kStateNames[] = {"NoDevice", "Closed", "Open", "Grabbing"};
void PrintTo(State state, std::ostream* out) {
    *out << kStateNames[static_cast<int>(state)];
}

struct Call {
    const char* name;
    std::set<State> allowed;
    const char* allowedText;
    std::function<void(Orvel::CVelkorUniversalInstantCamera&, Orvel::IOrvelDevice* spare)> run;
};

const std::vector<Call>& Calls() {
    using S = State;
    static const std::vector<Call> calls{
        {"Open",
         {S::Closed, S::Open, S::Grabbing},
         "closed, open, grabbing",
         [](auto& c, auto*) { c.Open(); }},
        {"GetNodeMap",
         {S::Open, S::Grabbing},
         "open, grabbing",
         [](auto& c, auto*) { c.GetNodeMap(); }},
        {"StartGrabbing", {S::Open}, "open", [](auto& c, auto*) { c.StartGrabbing(); }},
        {"RetrieveResult",
         {S::Grabbing},
         "grabbing",
         [](auto& c, auto*) {
             Orvel::CGrabResultPtr result;
             c.RetrieveResult(5000, result);
         }},
        {"GetDevice",
         {S::Closed, S::Open, S::Grabbing},
         "closed, open, grabbing",
         [](auto& c, auto*) { c.GetDevice(); }},
        {"GetDeviceInfo",
         {S::Closed, S::Open, S::Grabbing},
         "closed, open, grabbing",
         [](auto& c, auto*) { c.GetDeviceInfo(); }},
        {"Attach",
         {S::NoDevice, S::Closed},
         "no device, closed",
         [](auto& c, auto* spare) { c.Attach(spare); }},
        {"DetachDevice",
         {S::NoDevice, S::Closed},
         "no device, closed",
         [](auto& c, auto*) { c.DetachDevice(); }},
    };
    return calls;
}

class StateGate : public EmulationTest,
                  public testing::WithParamInterface<std::tuple<std::size_t, State>> {
protected:
    Orvel::CVelkorUniversalInstantCamera& InState(State state) {
        Start(R"({"cameras": [{"maxFrameRate": 1000, "processingScale": 0}, {}]})");
        if (state == State::NoDevice) {
            emulated_.camera = std::make_unique<Orvel::CVelkorUniversalInstantCamera>();
            return *emulated_.camera;
        }
        auto& camera = Camera(0, state != State::Closed);
        if (state == State::Grabbing) {
            camera.AcquisitionFrameRate.SetValue(1000);
            camera.StartGrabbing();
        }
        return camera;
    }
};

TEST_P(StateGate, AllowsEachCallOnlyInItsStates) {
    const Call& call = Calls()[std::get<0>(GetParam())];
    const State state = std::get<1>(GetParam());
    auto& camera = InState(state);
    Orvel::IOrvelDevice* detachedFrom =
        camera.IsOrvelDeviceAttached() ? &camera.GetDevice() : nullptr;
    Orvel::ITransportLayer* tl = CTlFactory::GetInstance().CreateTl(kDeviceClass);
    Orvel::IOrvelDevice* spare = tl->CreateDevice(Devices().at(1));
    const bool allowed = call.allowed.count(state) != 0;
    if (allowed) {
        EXPECT_NO_THROW(call.run(camera, spare));
    } else {
        const char* phrases[] = {"has no device", "is closed", "is open", "is grabbing"};
        EXPECT_THROW_MSG(call.run(camera, spare), GenICam::LogicalErrorException,
                         std::string("CInstantCamera::") + call.name +
                             ": not allowed while the camera " + phrases[static_cast<int>(state)] +
                             " (allowed: " + call.allowedText + ").");
    }
    const std::string name = call.name;
    if (name != "Attach") {
        tl->DestroyDevice(spare);  // else the camera owns it, or destroyed it when refused
    }
    if (allowed && name == "DetachDevice" && state == State::Closed) {
        emulated_.interface->DestroyDevice(detachedFrom);  // handed back: ours to destroy
    }
}

INSTANTIATE_TEST_SUITE_P(EveryCall, StateGate,
                         testing::Combine(testing::Range<std::size_t>(0, 8),
                                          testing::Values(State::NoDevice, State::Closed,
                                                          State::Open, State::Grabbing)),
                         [](const auto& info) {
                             return std::string(Calls()[std::get<0>(info.param)].name) + "_" +
                                    kStateNames[static_cast<int>(std::get<1>(info.param))];
                         });

class HarmlessEverywhere : public StateGate {};

TEST_P(HarmlessEverywhere, StopCloseAndQueries) {
    auto& camera = InState(std::get<1>(GetParam()));
    camera.StopGrabbing();
    camera.StopGrabbing();
    EXPECT_FALSE(camera.IsGrabbing());
    camera.Close();
    camera.Close();
    EXPECT_FALSE(camera.IsOpen());
    camera.DestroyDevice();
    EXPECT_FALSE(camera.IsOrvelDeviceAttached());
}

INSTANTIATE_TEST_SUITE_P(
    EveryState, HarmlessEverywhere,
    testing::Combine(testing::Values<std::size_t>(0),
                     testing::Values(State::NoDevice, State::Closed, State::Open, State::Grabbing)),
    [](const auto& info) {
        return std::string(kStateNames[static_cast<int>(std::get<1>(info.param))]);
    });

// ---- Devices ----

TEST_F(EmulationTest, OneDeviceObjectHoldsACameraOpen) {
    Start();
    auto& first = Camera(0);
    Orvel::ITransportLayer* tl = CTlFactory::GetInstance().CreateTl(kDeviceClass);
    Orvel::CVelkorUniversalInstantCamera second(tl->CreateDevice(Devices().at(0)));
    EXPECT_THROW_MSG(second.Open(), GenICam::RuntimeException,
                     "Cannot open device 'VelkorXW-40051001': another device object holds it "
                     "open.");
    EXPECT_FALSE(second.IsOpen());
    first.Close();
    second.Open();
    EXPECT_TRUE(second.IsOpen());
}

TEST_F(EmulationTest, DevicesGoBackToTheirCreator) {
    Start();
    Camera(0, false);
    Orvel::ITransportLayer* tl = CTlFactory::GetInstance().CreateTl(kDeviceClass);
    Orvel::IOrvelDevice* fromTl = tl->CreateDevice(Devices().at(1));
    Orvel::IOrvelDevice* fromInterface = emulated_.interface->CreateDevice(Devices().at(1));
    EXPECT_THROW_MSG(emulated_.interface->DestroyDevice(fromTl), GenICam::LogicalErrorException,
                     "CInstantInterface::DestroyDevice: the device was not created by this "
                     "interface.");
    EXPECT_THROW_MSG(tl->DestroyDevice(fromInterface), GenICam::LogicalErrorException,
                     "ITransportLayer::DestroyDevice: the device was not created by this "
                     "transport layer.");
    emulated_.interface->DestroyDevice(fromInterface);
    // A camera owning a device of the transport layer destroys it there.
    { Orvel::CVelkorUniversalInstantCamera owner(fromTl, Orvel::Cleanup_Delete); }
    // A camera that does not own its device leaves it to its creator.
    Orvel::IOrvelDevice* kept = CTlFactory::GetInstance().CreateDevice(Devices().at(1));
    {
        Orvel::CVelkorUniversalInstantCamera borrower(kept, Orvel::Cleanup_None);
        borrower.Open();
    }
    EXPECT_FALSE(kept->IsOpen());
    EXPECT_EQ(kept->GetDeviceInfo().GetSerialNumber(), "40051002");
    CTlFactory::GetInstance().DestroyDevice(kept);
}

TEST_F(EmulationTest, AttachReplacesAndDetachHandsBack) {
    Start();
    auto& camera = Camera(0, false);
    Orvel::IOrvelDevice* other = emulated_.interface->CreateDevice(Devices().at(1));
    camera.Attach(other, Orvel::Cleanup_None);  // the first device is destroyed: it was owned
    EXPECT_EQ(camera.GetDeviceInfo().GetSerialNumber(), "40051002");
    EXPECT_EQ(camera.DetachDevice(), other);
    EXPECT_FALSE(camera.IsOrvelDeviceAttached());
    EXPECT_EQ(camera.DetachDevice(), nullptr);
    emulated_.interface->DestroyDevice(other);
}

TEST_F(EmulationTest, OwnedDeviceIsNotLostWhenAttachFails) {
    Start();
    auto& camera = Camera(0, true);  // open: attaching is not allowed
    Orvel::IOrvelDevice* other = emulated_.interface->CreateDevice(Devices().at(1));
    EXPECT_THROW(camera.Attach(other, Orvel::Cleanup_Delete), GenICam::LogicalErrorException);
    // The refused device was destroyed: otherwise its interface would abort when it goes.
    emulated_.camera.reset();
    emulated_.interface.reset();
}

// ---- Configuration handlers ----

class Recorder : public Orvel::CConfigurationEventHandler {
public:
    Recorder(std::vector<std::string>& log, std::string name) : log_(log), name_(std::move(name)) {}
    ~Recorder() override { log_.push_back(name_ + ":deleted"); }
    void OnOpen(Orvel::CInstantCamera&) override { log_.push_back(name_ + ":OnOpen"); }
    void OnOpened(Orvel::CInstantCamera&) override { log_.push_back(name_ + ":OnOpened"); }
    void OnGrabStart(Orvel::CInstantCamera&) override { log_.push_back(name_ + ":OnGrabStart"); }
    void OnGrabStopped(Orvel::CInstantCamera&) override {
        log_.push_back(name_ + ":OnGrabStopped");
    }
    void OnClosed(Orvel::CInstantCamera&) override { log_.push_back(name_ + ":OnClosed"); }
    void OnDestroy(Orvel::CInstantCamera&) override { log_.push_back(name_ + ":OnDestroy"); }
    void OnConfigurationDeregistered(Orvel::CInstantCamera&) override {
        log_.push_back(name_ + ":deregistered");
    }

private:
    std::vector<std::string>& log_;
    std::string name_;
};

TEST_F(EmulationTest, HandlersHearTheLifeCycleAndAreDeletedWhenOwned) {
    Start();
    std::vector<std::string> log;
    Recorder kept(log, "kept");
    {
        auto& camera = Camera(0, false);
        camera.RegisterConfiguration(new Recorder(log, "a"), Orvel::RegistrationMode_ReplaceAll,
                                     Orvel::Cleanup_Delete);
        camera.RegisterConfiguration(new Recorder(log, "b"), Orvel::RegistrationMode_ReplaceAll,
                                     Orvel::Cleanup_Delete);
        camera.RegisterConfiguration(&kept, Orvel::RegistrationMode_Append, Orvel::Cleanup_None);
        camera.Open();
        camera.StartGrabbing();
        camera.StopGrabbing();
        camera.Close();
        EXPECT_FALSE(camera.DeregisterConfiguration(nullptr));
        emulated_.camera.reset();
    }
    EXPECT_EQ(log, (std::vector<std::string>{"a:deregistered", "a:deleted", "b:OnOpen",
                                             "kept:OnOpen", "b:OnOpened", "kept:OnOpened",
                                             "b:OnGrabStart", "kept:OnGrabStart", "b:OnGrabStopped",
                                             "kept:OnGrabStopped", "b:OnClosed", "kept:OnClosed",
                                             "b:OnDestroy", "kept:OnDestroy", "b:deleted"}));
}

// ---- Misuse that aborts ----

class LifecycleDeathTest : public EmulationTest {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(LifecycleDeathTest, TerminateWithACameraLeftAborts) {
    EXPECT_DEATH(
        {
            Start();
            Camera();
            Orvel::OrvelTerminate(true);
        },
        "Orvel: fatal: OrvelTerminate ended the SDK while 1 device\\(s\\) and 1 interface\\(s\\) "
        "still exist; destroy cameras, devices and interfaces first.");
}

TEST_F(LifecycleDeathTest, InterfaceDestroyedBeforeItsDeviceAborts) {
    EXPECT_DEATH(
        {
            Start();
            Camera();
            emulated_.interface.reset();
        },
        "Orvel: fatal: A CInstantInterface was destroyed while 1 device\\(s\\) it created still "
        "exist; destroy the camera before its interface.");
}

}  // namespace
}  // namespace Tarnwell::test
