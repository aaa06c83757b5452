#include "GigeDevice.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "GigeStream.h"
#include "Orvel/Transport/Errors.h"
#include "Orvel/Transport/HostStream.h"

namespace Orvel::detail {

namespace {

constexpr std::uint32_t kPoolBuffers = 10;             // as the emulated cameras' default
constexpr guint64 kHeartbeatTimeoutRegister = 0x0938;  // milliseconds
constexpr double kDefaultHeartbeatSeconds = 3.0;       // GigE Vision's default
constexpr guint64 kControlPrivilegeRegister = 0x0A00;
constexpr guint32 kControlBits = 0x3;  // exclusive or control access

// The host's address on the route to `address`: the interface Aravis should talk through.
std::string LocalAddressTowards(const std::string& address) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return {};
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(3956);
    ::inet_pton(AF_INET, address.c_str(), &target.sin_addr);
    std::string local;
    sockaddr_in own{};
    socklen_t size = sizeof own;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &size) == 0) {
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &own.sin_addr, text, sizeof text);
        local = text;
    }
    ::close(fd);
    return local;
}

bool HasChild(ArvGcNode* node, const char* name) {
    for (ArvDomNode* child = arv_dom_node_get_first_child(ARV_DOM_NODE(node)); child != nullptr;
         child = arv_dom_node_get_next_sibling(child)) {
        const char* childName = arv_dom_node_get_node_name(child);
        if (childName != nullptr && std::strcmp(childName, name) == 0) {
            return true;
        }
    }
    return false;
}

GenApi::EAccessMode AccessOf(ArvGcFeatureNode* feature) {
    switch (arv_gc_feature_node_get_actual_access_mode(feature)) {
        case ARV_GC_ACCESS_MODE_RO:
            return GenApi::RO;
        case ARV_GC_ACCESS_MODE_WO:
            return GenApi::WO;
        case ARV_GC_ACCESS_MODE_RW:
            return GenApi::RW;
        default:
            return GenApi::NA;
    }
}

// Aravis names the nodes on its way ("[Feature] [FeatureReg] ..."): the node is named once, by us.
std::string ReasonOf(const GErrorSlot& error) {
    std::string reason = error.Text();
    while (reason.starts_with('[')) {
        const std::size_t end = reason.find("] ");
        if (end == std::string::npos) {
            break;
        }
        reason.erase(0, end + 2);
    }
    return reason;
}

}  // namespace

GigeDevice::GigeDevice(GigeCamera& camera, DeviceCreator& creator)
    : DeviceBase(creator), camera_(camera) {}

GigeDevice::~GigeDevice() {
    Close();
}

void GigeDevice::Open() {
    if (device_) {
        return;
    }
    const std::string name = Name();
    const std::string& address = camera_.found.address;
    if (camera_.openBy != nullptr) {
        ORVEL_THROW(RuntimeException,
                    "Cannot open device '" + name + "': another device object holds it open.");
    }
    const std::string local = LocalAddressTowards(address);
    if (local.empty()) {
        ORVEL_THROW(RuntimeException, "Cannot open device '" + name + "': the camera at " +
                                          address + " is not reachable from this host (" +
                                          std::strerror(errno) + ").");
    }
    GObjectPtr<GInetAddress> interfaceAddress(g_inet_address_new_from_string(local.c_str()));
    GObjectPtr<GInetAddress> deviceAddress(g_inet_address_new_from_string(address.c_str()));
    ArvDevice* device = nullptr;
    GErrorSlot openError;
    {
        // Aravis's heartbeat thread leaves the program's signals to the program's thread.
        const SignalsBlockedInNewThreads blocked;
        device = arv_gv_device_new(interfaceAddress.get(), deviceAddress.get(), openError.Out());
    }
    if (device == nullptr || arv_device_get_genicam(device) == nullptr) {
        if (device != nullptr) {
            g_object_unref(device);
        }
        ORVEL_THROW(RuntimeException,
                    "Cannot open device '" + name + "': the camera at " + address +
                        " does not answer as a GigE Vision camera with a readable description (" +
                        (openError ? openError.Text() : std::string("no description")) + ").");
    }
    device_.reset(device);
    ArvGvDevice* gv = ARV_GV_DEVICE(device);
    if (!arv_gv_device_is_controller(gv)) {
        GErrorSlot error;
        if (!arv_gv_device_take_control(gv, error.Out())) {
            device_.reset();
            ORVEL_THROW(AccessException,
                        "Cannot open device '" + name +
                            "': access denied; another application has it open for control.");
        }
    }
    double heartbeatSeconds = kDefaultHeartbeatSeconds;
    guint32 heartbeatMs = 0;
    if (arv_device_read_register(device, kHeartbeatTimeoutRegister, &heartbeatMs, nullptr) &&
        heartbeatMs > 0) {
        heartbeatSeconds = heartbeatMs / 1e3;
    }
    try {
        stream_ = std::make_unique<GigeStream>(device, name, kPoolBuffers, heartbeatSeconds);
        nodes_.reset(new NodeMap(static_cast<NodeContext&>(*this), name));
        AddNodes();
    } catch (...) {
        nodes_.reset();
        stream_.reset();
        device_.reset();
        throw;
    }
    controlLostHandler_ = g_signal_connect_swapped(
        device, "control-lost", G_CALLBACK(+[](GigeStream* stream) { stream->ControlLost(); }),
        stream_.get());
    try {
        const SignalsBlockedInNewThreads blocked;
        closing_ = false;
        watchEnded_ = false;
        heartbeatTimeout_ = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(heartbeatSeconds));
        lastAnswer_ = std::chrono::steady_clock::now();
        watchdog_ = std::thread([this] { WatchHeartbeat(); });
    } catch (const std::system_error& error) {
        Close();
        ORVEL_THROW(RuntimeException,
                    "Cannot open device '" + name + "': no heartbeat thread: " + error.what());
    }
    camera_.openBy = this;
}

void GigeDevice::WatchHeartbeat() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(watchMutex_);
    while (!closing_) {
        watchWake_.wait_for(lock, heartbeatTimeout_ / 4);
        if (closing_) {
            break;
        }
        lock.unlock();
        guint32 privilege = 0;
        const bool read =
            arv_device_read_register(device_.get(), kControlPrivilegeRegister, &privilege, nullptr);
        lock.lock();
        if (read && (privilege & kControlBits) != 0) {
            lastAnswer_ = Clock::now();
            watchVerdict_.notify_all();
        } else if (read || Clock::now() - lastAnswer_ >= heartbeatTimeout_) {
            stream_->ControlLost();  // control taken away, or no answer for the whole time-out
            break;
        }
    }
    watchEnded_ = true;
    watchVerdict_.notify_all();
}

// A feature the camera did not answer for may mean a camera gone: the heartbeat's verdict, due
// within its time-out, names the failure.
void GigeDevice::Refused(const std::string& name, const char* what, const GErrorSlot& error) const {
    {
        std::unique_lock lock(watchMutex_);
        const auto asked = std::chrono::steady_clock::now();
        watchVerdict_.wait_for(lock, heartbeatTimeout_ * 2,
                               [&] { return closing_ || watchEnded_ || lastAnswer_ > asked; });
    }
    if (stream_->IsLost()) {
        stream_->RaiseLost();
    }
    ORVEL_THROW(RuntimeException, "[" + name + "] the camera " + what + ": " + ReasonOf(error));
}

void GigeDevice::StopWatching() noexcept {
    {
        const std::lock_guard lock(watchMutex_);
        closing_ = true;
    }
    watchWake_.notify_all();
    if (watchdog_.joinable()) {
        watchdog_.join();
    }
}

void GigeDevice::Close() {
    if (!device_) {
        return;
    }
    StopWatching();
    stream_->Stop();
    g_signal_handler_disconnect(device_.get(), controlLostHandler_);
    controlLostHandler_ = 0;
    if (!stream_->IsLost()) {
        arv_gv_device_leave_control(ARV_GV_DEVICE(device_.get()), nullptr);
    }
    device_.reset();  // ends Aravis's heartbeat thread
    nodes_.reset();
    stream_.reset();
    camera_.openBy = nullptr;
}

GenApi::INodeMap& GigeDevice::GetNodeMap() {
    if (!device_) {
        ORVEL_THROW(AccessException,
                    "Cannot use the node map of '" + Name() + "': the device is not open.");
    }
    return *nodes_;
}

IStreamGrabber* GigeDevice::GetStreamGrabber(std::size_t index) {
    return index == 0 && stream_ ? stream_.get() : nullptr;
}

bool GigeDevice::IsGrabbing() const {
    return stream_ && stream_->IsRunning();
}

void GigeDevice::AddNodes() {
    ArvGc* genicam = arv_device_get_genicam(device_.get());
    if (ArvGcNode* root = arv_gc_get_node(genicam, "Root")) {
        AddFeature(root);
    }
    for (std::size_t counter = 0; counter < kCounterCount; ++counter) {
        NodeTraits traits;
        traits.name = kCounterNames[counter];
        traits.description = "Transport statistics since the camera was opened.";
        traits.access = GenApi::RO;
        GigeStream* stream = stream_.get();
        nodes_->Add<IntegerNode>(std::move(traits),
                                 IntegerDef{std::numeric_limits<std::int64_t>::min(),
                                            std::numeric_limits<std::int64_t>::max(),
                                            1,
                                            {},
                                            "",
                                            [stream, counter] { return stream->Counter(counter); },
                                            {}});
    }
}

void GigeDevice::AddFeature(ArvGcNode* node) {
    ArvGc* genicam = arv_device_get_genicam(device_.get());
    if (ARV_IS_GC_CATEGORY(node)) {
        for (const GSList* item = arv_gc_category_get_features(ARV_GC_CATEGORY(node));
             item != nullptr; item = item->next) {
            if (ArvGcNode* child = arv_gc_get_node(genicam, static_cast<const char*>(item->data))) {
                AddFeature(child);
            }
        }
        return;
    }
    if (!ARV_IS_GC_FEATURE_NODE(node)) {
        return;
    }
    auto* feature = ARV_GC_FEATURE_NODE(node);
    const char* featureName = arv_gc_feature_node_get_name(feature);
    if (featureName == nullptr || nodes_->GetNode(featureName) != nullptr ||
        !arv_gc_feature_node_is_implemented(feature, nullptr)) {
        return;
    }
    NodeTraits traits;
    traits.name = featureName;
    const char* description = arv_gc_feature_node_get_description(feature);
    traits.description = description != nullptr ? description : "";
    traits.access = AccessOf(feature);
    // The camera describes what its acquisition reads as locked while it grabs.
    traits.lockedWhileGrabbing = HasChild(node, "pIsLocked");
    if (HasChild(node, "pIsAvailable")) {
        traits.unavailable = [feature, name = std::string(featureName), this]() -> const char* {
            GErrorSlot error;
            const bool available = arv_gc_feature_node_is_available(feature, error.Out());
            if (error) {
                Refused(name, "did not tell whether it is available", error);
            }
            return available ? nullptr : "the camera says so now";
        };
    }
    const std::string name = featureName;
    const bool writable = GenApi::IsWritable(traits.access);
    if (ARV_IS_GC_ENUMERATION(node)) {
        auto* enumeration = ARV_GC_ENUMERATION(node);
        std::vector<std::string> entries;
        std::vector<ArvGcFeatureNode*> entryNodes;
        for (const GSList* item = arv_gc_enumeration_get_entries(enumeration); item != nullptr;
             item = item->next) {
            auto* entry = ARV_GC_FEATURE_NODE(item->data);
            entries.emplace_back(arv_gc_feature_node_get_name(entry));
            entryNodes.push_back(entry);
        }
        EnumDef def;
        def.entries = entries;
        def.get = [enumeration, entries, name, this]() -> std::size_t {
            GErrorSlot error;
            const char* value = arv_gc_enumeration_get_string_value(enumeration, error.Out());
            if (error || value == nullptr) {
                Refused(name, "did not tell its value", error);
            }
            const auto at = std::find(entries.begin(), entries.end(), value);
            return static_cast<std::size_t>(at - entries.begin()) % entries.size();
        };
        if (writable) {
            def.set = [enumeration, entries, name, this](std::size_t index) {
                GErrorSlot error;
                arv_gc_enumeration_set_string_value(enumeration, entries[index].c_str(),
                                                    error.Out());
                if (error) {
                    Refused(name, "did not take the value", error);
                }
            };
        }
        // An entry the camera does not offer now; the selector's RawCombined is so outside the
        // single-component mode, as the class defines it.
        ArvDevice* device = device_.get();
        def.unavailable = [entryNodes, entries, device, name](std::size_t index) -> const char* {
            if (arv_gc_feature_node_is_available(entryNodes[index], nullptr)) {
                return nullptr;
            }
            if (name == "ComponentSelector" && entries[index] == "RawCombined") {
                const char* mode =
                    arv_device_get_string_feature_value(device, "VkrComponentMode", nullptr);
                if (mode != nullptr && std::strcmp(mode, "SynchronizedAlternateComponents") == 0) {
                    return " in component mode 'SynchronizedAlternateComponents'";
                }
            }
            return " now";
        };
        nodes_->Add<EnumerationNode>(std::move(traits), std::move(def));
    } else if (ARV_IS_GC_BOOLEAN(node)) {
        auto* boolean = ARV_GC_BOOLEAN(node);
        BooleanDef def;
        def.get = [boolean, name, this] {
            GErrorSlot error;
            const bool value = arv_gc_boolean_get_value(boolean, error.Out()) != FALSE;
            if (error) {
                Refused(name, "did not tell its value", error);
            }
            return value;
        };
        if (writable) {
            def.set = [boolean, name, this](bool value) {
                GErrorSlot error;
                arv_gc_boolean_set_value(boolean, value ? TRUE : FALSE, error.Out());
                if (error) {
                    Refused(name, "did not take the value", error);
                }
            };
        }
        nodes_->Add<BooleanNode>(std::move(traits), std::move(def));
    } else if (ARV_IS_GC_COMMAND(node)) {
        auto* command = ARV_GC_COMMAND(node);
        nodes_->Add<CommandNode>(std::move(traits), CommandDef{[command, name, this] {
                                     GErrorSlot error;
                                     arv_gc_command_execute(command, error.Out());
                                     if (error) {
                                         Refused(name, "did not take the command", error);
                                     }
                                 }});
    } else if (ARV_IS_GC_FLOAT(node)) {
        auto* number = ARV_GC_FLOAT(node);
        FloatDef def;
        def.min = arv_gc_float_get_min(number, nullptr);
        def.max = [number] { return arv_gc_float_get_max(number, nullptr); };
        const char* unit = arv_gc_float_get_unit(number);
        def.unit = unit != nullptr ? unit : "";
        def.get = [number, name, this] {
            GErrorSlot error;
            const double value = arv_gc_float_get_value(number, error.Out());
            if (error) {
                Refused(name, "did not tell its value", error);
            }
            return value;
        };
        if (writable) {
            def.set = [number, name, this](double value) {
                GErrorSlot error;
                arv_gc_float_set_value(number, value, error.Out());
                if (error) {
                    Refused(name, "did not take the value", error);
                }
            };
        }
        nodes_->Add<FloatNode>(std::move(traits), std::move(def));
    } else if (ARV_IS_GC_INTEGER(node)) {
        auto* integer = ARV_GC_INTEGER(node);
        IntegerDef def;
        def.min = arv_gc_integer_get_min(integer, nullptr);
        def.max = arv_gc_integer_get_max(integer, nullptr);
        def.inc = std::max<std::int64_t>(1, arv_gc_integer_get_inc(integer, nullptr));
        // The class's binnings, which a GenICam description cannot list.
        if (name == "BinningHorizontal" || name == "BinningVertical") {
            def.validValues = {1, 2, 4};
        }
        const char* unit = arv_gc_integer_get_unit(integer);
        def.unit = unit != nullptr ? unit : "";
        def.get = [integer, name, this] {
            GErrorSlot error;
            const std::int64_t value = arv_gc_integer_get_value(integer, error.Out());
            if (error) {
                Refused(name, "did not tell its value", error);
            }
            return value;
        };
        if (writable) {
            def.set = [integer, name, this](std::int64_t value) {
                GErrorSlot error;
                arv_gc_integer_set_value(integer, value, error.Out());
                if (error) {
                    Refused(name, "did not take the value", error);
                }
            };
        }
        nodes_->Add<IntegerNode>(std::move(traits), std::move(def));
    }
}

}  // namespace Orvel::detail
