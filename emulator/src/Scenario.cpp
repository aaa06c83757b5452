// Reading ORVEL_EMULATION and validating scenario files: every key, type and range.
#include "Scenario.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "Features.h"
#include "Orvel/Transport/Errors.h"

namespace Orvel::detail {

using nlohmann::json;
// A recording is played in a loop; more frames than a prepared sequence holds are refused. All
// cameras' recordings together are held decoded while the SDK runs, within this much memory.
constexpr std::size_t kMaxRecordedFrames = 16;
constexpr std::size_t kMaxRecordingBytes = std::size_t{1} << 30;

CameraConfig DefaultCamera(std::size_t index) {
    CameraConfig camera;
    camera.serialNumber = std::to_string(40051001 + index);
    camera.friendlyName = "VelkorXW-" + camera.serialNumber;
    camera.ipAddress = "169.254.1." + std::to_string(10 + index);
    return camera;
}

namespace {

// Validates one scenario; every fault names the file and the key's path.
class Reader {
public:
    explicit Reader(const std::string& origin) : origin_(origin) {}

    // Recorded images are named relative to the scenario file.
    std::string Resolve(const std::string& path) const {
        if (path.empty() || path.front() == '/') {
            return path;
        }
        const std::size_t slash = origin_.rfind('/');
        return slash == std::string::npos ? path : origin_.substr(0, slash + 1) + path;
    }

    // A NUL a key or value holds is shown, not taken for the end of the message.
    [[noreturn]] void Fail(const std::string& fault) const {
        std::string shown;
        for (const char c : fault) {
            shown += c == '\0' ? std::string("\\x00") : std::string(1, c);
        }
        ORVEL_THROW(RuntimeException, "Emulation scenario '" + origin_ + "': " + shown);
    }

    void OnlyKeys(const json& object, const std::vector<std::string_view>& keys,
                  const std::string& where) const {
        for (const auto& item : object.items()) {
            if (std::find(keys.begin(), keys.end(), item.key()) == keys.end()) {
                Fail("unknown key '" + item.key() + "'" + (where.empty() ? "" : " in " + where));
            }
        }
    }

    bool Bool(const json& value, const std::string& path) const {
        if (!value.is_boolean()) {
            Fail(path + " must be true or false");
        }
        return value.get<bool>();
    }

    // Texts end up in C strings (file names, messages): a NUL would cut them short.
    std::string String(const json& value, const std::string& path) const {
        if (!value.is_string()) {
            Fail(path + " must be a string");
        }
        std::string text = value.get<std::string>();
        if (text.find('\0') != std::string::npos) {
            Fail(path + " must not contain a NUL character");
        }
        return text;
    }

    std::uint64_t Unsigned(const json& value, const std::string& path, std::uint64_t min,
                           std::uint64_t max, const std::string& demand) const {
        const bool ok = value.is_number_unsigned() ||
                        (value.is_number_integer() && value.get<std::int64_t>() >= 0);
        if (!ok || value.get<std::uint64_t>() < min || value.get<std::uint64_t>() > max) {
            Fail(path + " must be " + demand);
        }
        return value.get<std::uint64_t>();
    }

    std::int64_t Signed(const json& value, const std::string& path) const {
        if (!value.is_number_integer() ||
            (value.is_number_unsigned() &&
             value.get<std::uint64_t>() >
                 static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))) {
            Fail(path + " must be a 64-bit integer");
        }
        return value.get<std::int64_t>();
    }

    double Number(const json& value, const std::string& path, double min, double max,
                  bool minIncluded, const std::string& demand) const {
        if (!value.is_number()) {
            Fail(path + " must be " + demand);
        }
        const double number = value.get<double>();
        if (!std::isfinite(number) || number > max || number < min ||
            (!minIncluded && number == min)) {
            Fail(path + " must be " + demand);
        }
        return number;
    }

    std::vector<std::string> Names(const json& value, const std::string& path,
                                   const std::vector<std::string>& known, const char* what) const {
        if (!value.is_array() ||
            !std::all_of(value.begin(), value.end(), [](const json& v) { return v.is_string(); })) {
            Fail(path + " must be an array of " + what + " names");
        }
        std::vector<std::string> names;
        for (std::size_t i = 0; i < value.size(); ++i) {
            std::string name = value[i].get<std::string>();
            if (std::find(known.begin(), known.end(), name) == known.end()) {
                Fail(path + "[" + std::to_string(i) + "]: unknown " + what + " '" + name + "'");
            }
            names.push_back(std::move(name));
        }
        return names;
    }

    CameraConfig Camera(const json& object, std::size_t index) const {
        const std::string where = "cameras[" + std::to_string(index) + "]";
        if (!object.is_object()) {
            Fail(where + " must be an object");
        }
        std::vector<std::string_view> keys;
        for (const CameraKey& key : CameraKeys()) {
            keys.push_back(key.name);
        }
        OnlyKeys(object, keys, where);
        CameraConfig camera = DefaultCamera(index);
        for (const CameraKey& key : CameraKeys()) {
            if (object.contains(key.name)) {
                key.read(*this, object[key.name], where + "." + key.name, camera, index);
            }
        }
        return camera;
    }

    std::vector<std::string> FeatureNames() const {
        std::vector<std::string> names;
        for (const Feature& feature : Features()) {
            names.emplace_back(feature.name);
        }
        return names;
    }

    std::uint32_t ErrorCode(const json& value, const std::string& path) const {
        return static_cast<std::uint32_t>(
            Unsigned(value, path, 0, 0xFFFFFFFFu, "an integer from 0 to 4294967295"));
    }

    GrabFailures Failures(const json& failures, const std::string& path) const {
        if (!failures.is_object()) {
            Fail(path + " must be an object");
        }
        OnlyKeys(failures, {"every", "errorCode", "description"}, path);
        if (!failures.contains("every")) {
            Fail(path + ".every is missing");
        }
        GrabFailures result;
        result.every = Unsigned(failures["every"], path + ".every", 1, kAny, "a positive integer");
        if (failures.contains("errorCode")) {
            result.errorCode = ErrorCode(failures["errorCode"], path + ".errorCode");
        }
        if (failures.contains("description")) {
            result.description = String(failures["description"], path + ".description");
            if (result.description.size() > 159) {
                Fail(path + ".description must be at most 159 bytes long");
            }
        }
        return result;
    }

    std::array<bool, kComponentCount> Components(const json& value, const std::string& path) const {
        static const std::vector<std::string> components(kComponentNames.begin(),
                                                         kComponentNames.end());
        std::array<bool, kComponentCount> present{true, true, true, true, true, true};
        for (const auto& name : Names(value, path, components, "component")) {
            const auto at = std::find(components.begin(), components.end(), name);
            present[static_cast<std::size_t>(at - components.begin())] = false;
        }
        if (std::none_of(present.begin(), present.end() - 1, [](bool p) { return p; })) {
            Fail(path + " must leave a component other than RawCombined");
        }
        return present;
    }

    std::array<std::optional<std::int64_t>, kCounterCount> Counters(const json& counters,
                                                                    const std::string& path) const {
        if (!counters.is_object()) {
            Fail(path + " must be an object");
        }
        std::array<std::optional<std::int64_t>, kCounterCount> fixed;
        for (const auto& item : counters.items()) {
            const auto at = std::find_if(kCounterNames.begin(), kCounterNames.end(),
                                         [&](const char* name) { return item.key() == name; });
            if (at == kCounterNames.end()) {
                Fail(path + ": unknown counter '" + item.key() + "'");
            }
            fixed[static_cast<std::size_t>(at - kCounterNames.begin())] =
                Signed(item.value(), path + "." + item.key());
        }
        return fixed;
    }

    Processing ProcessingOf(const json& value, const std::string& path) const {
        if (value == "real") {
            return Processing::Real;
        }
        if (value == "modelled") {
            return Processing::Modelled;
        }
        Fail(path + " must be one of real, modelled");
    }

    // Features a camera's earlier user may have left set, in the order they are written.
    std::vector<PowerOnValue> PowerOn(const json& object, const std::string& path) const {
        if (!object.is_object()) {
            Fail(path + " must be an object");
        }
        std::vector<const Feature*> settable;
        for (const Feature& feature : Features()) {
            if (feature.powerOnOrder != 0) {
                settable.push_back(&feature);
            }
        }
        std::sort(settable.begin(), settable.end(), [](const Feature* a, const Feature* b) {
            return a->powerOnOrder < b->powerOnOrder;
        });
        for (const auto& item : object.items()) {
            if (std::none_of(settable.begin(), settable.end(),
                             [&](const Feature* f) { return f->name == item.key(); })) {
                Fail(path + ": '" + item.key() + "' is not a writable feature");
            }
        }
        std::vector<PowerOnValue> values;
        for (const Feature* feature : settable) {
            if (!object.contains(feature->name)) {
                continue;
            }
            const json& value = object[feature->name];
            const std::string at = path + "." + feature->name;
            switch (feature->kind) {
                case FeatureKind::Enumeration:
                    values.push_back({feature->name, "", String(value, at)});
                    break;
                case FeatureKind::Integer:
                    values.push_back({feature->name, "", std::to_string(Signed(value, at))});
                    break;
                case FeatureKind::Float:
                    if (!value.is_number()) {
                        Fail(at + " must be a number");
                    }
                    values.push_back({feature->name, "", FormatNumber(value.get<double>())});
                    break;
                case FeatureKind::Boolean:  // ComponentEnable, selected by component
                    ComponentEnables(value, at, feature->name, values);
                    break;
                case FeatureKind::Command:
                    break;
            }
        }
        return values;
    }

    void ComponentEnables(const json& value, const std::string& at, const char* feature,
                          std::vector<PowerOnValue>& values) const {
        if (!value.is_object()) {
            Fail(at + " must be an object of component names and true or false");
        }
        for (const char* component : kComponentNames) {
            if (value.contains(component)) {
                values.push_back({feature, component,
                                  Bool(value[component], at + "." + component) ? "true" : "false"});
            }
        }
        for (const auto& entry : value.items()) {
            if (std::find_if(kComponentNames.begin(), kComponentNames.end(), [&](const char* c) {
                    return entry.key() == c;
                }) == kComponentNames.end()) {
                Fail(at + ": unknown component '" + entry.key() + "'");
            }
        }
    }

    // The frames of a camera's recording, as named; read once every camera is known.
    void ReadRecording(const json& frames, const std::string& path, std::size_t camera) const {
        if (!frames.is_array() || frames.empty() || frames.size() > kMaxRecordedFrames) {
            Fail(path + " must be an array of 1 to " + std::to_string(kMaxRecordedFrames) +
                 " frames");
        }
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const std::string at = path + "[" + std::to_string(i) + "]";
            const json& frame = frames[i];
            if (!frame.is_object()) {
                Fail(at + " must be an object");
            }
            OnlyKeys(frame, {"left", "right", "disparity"}, at);
            NamedFrame named{camera, {}};
            for (const char* name : {"left", "right", "disparity"}) {
                if (!frame.contains(name)) {
                    if (std::string_view(name) != "disparity") {
                        Fail(at + "." + name + " is missing");
                    }
                    continue;
                }
                named.files.push_back({at + "." + name, String(frame[name], at + "." + name),
                                       std::string_view(name) == "disparity"
                                           ? RecordedKind::Disparity
                                           : RecordedKind::View});
            }
            named_.push_back(std::move(named));
        }
    }

    // Every recording's images: each file's header first, so that the memory they take decoded,
    // over all cameras, is known before any is decoded; then each file decoded once, shared by
    // every frame and camera that names it.
    void LoadRecordings(std::vector<CameraConfig>& cameras) const {
        struct Decoded {
            std::string key;   // "cameras[i].recording[j].left", where it was first named
            std::string file;  // as given
            ImageHeader header;
            RecordedKind kind;
            std::shared_ptr<const GreyImage> view;
            std::shared_ptr<const DisparityImage> disparity;
        };
        std::vector<Decoded> decoded;
        std::map<std::pair<FileIdentity, RecordedKind>, std::size_t> byFile;
        std::vector<std::vector<std::size_t>> uses;  // per named frame: left, right[, disparity]
        std::size_t total = 0;
        std::size_t largest = 0;
        std::size_t reference = 0;  // the first left view of the current camera's recording
        std::size_t referenceCamera = cameras.size();
        for (const NamedFrame& frame : named_) {
            std::vector<std::size_t>& used = uses.emplace_back();
            for (const NamedFile& named : frame.files) {
                ImageHeader header;
                try {
                    header = ReadImageHeader(Resolve(named.file), named.kind);
                } catch (const std::exception& error) {
                    Fail(named.key + ": '" + named.file + "' " + error.what());
                }
                const auto [at, added] =
                    byFile.try_emplace({header.file, named.kind}, decoded.size());
                if (added) {
                    decoded.push_back({named.key, named.file, header, named.kind, {}, {}});
                    total += header.DecodedBytes(named.kind);
                    if (header.DecodedBytes(named.kind) >
                        decoded[largest].header.DecodedBytes(decoded[largest].kind)) {
                        largest = decoded.size() - 1;
                    }
                }
                used.push_back(at->second);
                if (frame.camera != referenceCamera) {
                    referenceCamera = frame.camera;
                    reference = at->second;
                }
                const ImageHeader& views = decoded[reference].header;
                if (header.width != views.width || header.height != views.height) {
                    Fail(named.key + " is " + std::to_string(header.width) + "x" +
                         std::to_string(header.height) + ", the recording's views " +
                         std::to_string(views.width) + "x" + std::to_string(views.height));
                }
            }
        }
        if (total > kMaxRecordingBytes) {
            const Decoded& big = decoded[largest];
            Fail("the recordings take " + std::to_string(Mebibytes(total)) +
                 " MiB decoded, more than the " + std::to_string(Mebibytes(kMaxRecordingBytes)) +
                 " MiB they may; the largest, " + big.key + " '" + big.file + "', is " +
                 std::to_string(big.header.width) + "x" + std::to_string(big.header.height) + " (" +
                 std::to_string(Mebibytes(big.header.DecodedBytes(big.kind))) + " MiB)");
        }
        for (Decoded& image : decoded) {
            try {
                if (image.kind == RecordedKind::View) {
                    image.view = std::make_shared<const GreyImage>(
                        ReadGreyImage(Resolve(image.file), image.header));
                } else {
                    image.disparity = std::make_shared<const DisparityImage>(
                        ReadDisparityImage(Resolve(image.file), image.header));
                }
            } catch (const std::exception& error) {
                Fail(image.key + ": '" + image.file + "' " + error.what());
            }
        }
        std::map<std::size_t, std::shared_ptr<Recording>> recordings;
        for (std::size_t f = 0; f < named_.size(); ++f) {
            std::shared_ptr<Recording>& recording = recordings[named_[f].camera];
            if (!recording) {
                recording = std::make_shared<Recording>();
                cameras[named_[f].camera].recording = recording;
            }
            RecordedFrame& frame = recording->emplace_back();
            frame.left = decoded[uses[f][0]].view;
            frame.right = decoded[uses[f][1]].view;
            if (uses[f].size() > 2) {
                frame.disparity = decoded[uses[f][2]].disparity;
            }
        }
    }

    Scenario Read(const json& root) const {
        if (!root.is_object()) {
            Fail("the top level must be an object");
        }
        OnlyKeys(
            root,
            {"deviceClassAvailable", "transportLayerName", "interfaceFailure", "seed", "cameras"},
            "");
        Scenario scenario;
        if (root.contains("deviceClassAvailable")) {
            scenario.deviceClassAvailable =
                Bool(root["deviceClassAvailable"], "deviceClassAvailable");
        }
        if (root.contains("transportLayerName")) {
            scenario.transportLayerName = String(root["transportLayerName"], "transportLayerName");
        }
        if (root.contains("interfaceFailure")) {
            const std::string failure = String(root["interfaceFailure"], "interfaceFailure");
            if (failure == "none") {
                scenario.interfaceFailure = InterfaceFailure::None;
            } else if (failure == "transportLayer") {
                scenario.interfaceFailure = InterfaceFailure::TransportLayer;
            } else if (failure == "interface") {
                scenario.interfaceFailure = InterfaceFailure::Interface;
            } else {
                Fail("interfaceFailure must be one of none, transportLayer, interface");
            }
        }
        if (root.contains("seed")) {
            scenario.seed =
                Unsigned(root["seed"], "seed", 0, std::numeric_limits<std::uint64_t>::max(),
                         "a non-negative integer");
        }
        if (!root.contains("cameras")) {
            scenario.cameras = {DefaultCamera(0), DefaultCamera(1)};
            return scenario;
        }
        const json& cameras = root["cameras"];
        if (!cameras.is_array()) {
            Fail("cameras must be an array");
        }
        if (cameras.size() > kMaxCameras) {
            Fail("cameras has " + std::to_string(cameras.size()) +
                 " entries; the emulation serves at most 64 cameras");
        }
        for (std::size_t i = 0; i < cameras.size(); ++i) {
            scenario.cameras.push_back(Camera(cameras[i], i));
            for (std::size_t j = 0; j < i; ++j) {
                if (scenario.cameras[j].serialNumber == scenario.cameras[i].serialNumber) {
                    Fail("cameras[" + std::to_string(i) + "].serialNumber '" +
                         scenario.cameras[i].serialNumber + "' is already used by cameras[" +
                         std::to_string(j) + "]");
                }
            }
        }
        LoadRecordings(scenario.cameras);
        return scenario;
    }

private:
    static constexpr std::uint64_t kAny = std::numeric_limits<std::uint64_t>::max();
    static constexpr double kHuge = std::numeric_limits<double>::max();

    // A key of a camera object and how it is read; the keys in the order they are read (a serial
    // number names the camera, which a friendly name then overrides).
    struct CameraKey {
        const char* name;
        void (*read)(const Reader& reader, const json& value, const std::string& path,
                     CameraConfig& camera, std::size_t index);
    };
    static const std::vector<CameraKey>& CameraKeys();

    struct NamedFile {
        std::string key;   // "cameras[i].recording[j].left"
        std::string file;  // as given
        RecordedKind kind;
    };
    struct NamedFrame {
        std::size_t camera;
        std::vector<NamedFile> files;  // left, right[, disparity]
    };

    static std::size_t Mebibytes(std::size_t bytes) { return (bytes + (1 << 20) - 1) >> 20; }

    static bool IsIpv4(const std::string& text) {
        int parts = 0;
        std::size_t at = 0;
        while (true) {
            std::size_t digits = 0;
            unsigned value = 0;
            while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 3) {
                value = value * 10 + static_cast<unsigned>(text[at] - '0');
                ++at;
                ++digits;
            }
            if (digits == 0 || value > 255) {
                return false;
            }
            if (++parts == 4) {
                return at == text.size();
            }
            if (at >= text.size() || text[at] != '.') {
                return false;
            }
            ++at;
        }
    }

    const std::string& origin_;
    mutable std::vector<NamedFrame> named_;  // every camera's recorded frames, in order
};

const std::vector<Reader::CameraKey>& Reader::CameraKeys() {
    static const std::vector<CameraKey> keys{
        {"serialNumber",
         [](const Reader& r, const json& v, const std::string& p, CameraConfig& c, std::size_t) {
             c.serialNumber = r.String(v, p);
             c.friendlyName = "VelkorXW-" + c.serialNumber;
         }},
        {"friendlyName", [](const Reader& r, const json& v, const std::string& p, CameraConfig& c,
                            std::size_t) { c.friendlyName = r.String(v, p); }},
        {"ipAddress",
         [](const Reader& r, const json& v, const std::string& p, CameraConfig& c, std::size_t) {
             c.ipAddress = r.String(v, p);
             if (!IsIpv4(c.ipAddress)) {
                 r.Fail(p + " must be a dotted IPv4 address such as 169.254.1.10");
             }
         }},
        {"missingNodes",
         [](const Reader& r, const json& v, const std::string& p, CameraConfig& c, std::size_t) {
             for (auto& name : r.Names(v, p, r.FeatureNames(), "node")) {
                 c.missingNodes.insert(std::move(name));
             }
         }},
        {"unreadableNodes",
         [](const Reader& r, const json& v, const std::string& p, CameraConfig& c, std::size_t) {
             for (auto& name : r.Names(v, p, r.FeatureNames(), "node")) {
                 c.unreadableNodes.insert(std::move(name));
             }
         }},
        {"missingComponents",
         [](const Reader& r, const json& v, const std::string& p, CameraConfig& c, std::size_t) {
             c.componentPresent = r.Components(v, p);
         }},
        {"grabFailures", [](const Reader& r, const json& v, const std::string& p, CameraConfig& c,
                            std::size_t) { c.grabFailures = r.Failures(v, p); }},
        {"stopGrabbingAfter",
         [](const Reader& r, const json& v, const std::string& p, CameraConfig& c, std::size_t) {
             c.stopGrabbingAfter = r.Unsigned(v, p, 1, kAny, "a positive integer");
         }},
        {"stallAfter",
         [](const Reader& r, const json& v, const std::string& p, CameraConfig& c, std::size_t) {
             c.stallAfter = r.Unsigned(v, p, 0, kAny, "a non-negative integer");
         }},
        {"packetLossRate",
         [](const Reader& r, const json& v, const std::string& p, CameraConfig& c, std::size_t) {
             c.packetLossRate = r.Number(v, p, 0, 1, true, "a number from 0 to 1");
         }},
        {"lossBurstLength",
         [](const Reader& r, const json& v, const std::string& p, CameraConfig& c, std::size_t) {
             c.lossBurstLength = r.Number(v, p, 1, 1e9, true, "a number from 1 to 1e9");
         }},
        {"packetTimeout",
         [](const Reader& r, const json& v, const std::string& p, CameraConfig& c, std::size_t) {
             c.packetTimeout = r.Number(v, p, 0, 10, true, "a number of seconds from 0 to 10");
         }},
        {"counters", [](const Reader& r, const json& v, const std::string& p, CameraConfig& c,
                        std::size_t) { c.counters = r.Counters(v, p); }},
        {"maxFrameRate",
         [](const Reader& r, const json& v, const std::string& p, CameraConfig& c, std::size_t) {
             c.maxFrameRate = r.Number(v, p, 0.5, kHuge, true, "a number of at least 0.5");
         }},
        {"linkBandwidth",
         [](const Reader& r, const json& v, const std::string& p, CameraConfig& c, std::size_t) {
             c.linkBandwidth = r.Number(v, p, 0, kHuge, false, "a positive number");
         }},
        {"processingScale",
         [](const Reader& r, const json& v, const std::string& p, CameraConfig& c, std::size_t) {
             c.processingScale = r.Number(v, p, 0, kHuge, true, "a non-negative number");
         }},
        {"bufferCount",
         [](const Reader& r, const json& v, const std::string& p, CameraConfig& c, std::size_t) {
             c.bufferCount =
                 static_cast<std::uint32_t>(r.Unsigned(v, p, 1, 1024, "an integer from 1 to 1024"));
         }},
        {"processing", [](const Reader& r, const json& v, const std::string& p, CameraConfig& c,
                          std::size_t) { c.processing = r.ProcessingOf(v, p); }},
        {"powerOn", [](const Reader& r, const json& v, const std::string& p, CameraConfig& c,
                       std::size_t) { c.powerOn = r.PowerOn(v, p); }},
        {"openedElsewhere", [](const Reader& r, const json& v, const std::string& p,
                               CameraConfig& c, std::size_t) { c.openedElsewhere = r.Bool(v, p); }},
        {"unreachable", [](const Reader& r, const json& v, const std::string& p, CameraConfig& c,
                           std::size_t) { c.unreachable = r.Bool(v, p); }},
        {"lostAfter",
         [](const Reader& r, const json& v, const std::string& p, CameraConfig& c, std::size_t) {
             c.lostAfter = r.Unsigned(v, p, 1, kAny, "a positive integer");
         }},
        {"heartbeatTimeout",
         [](const Reader& r, const json& v, const std::string& p, CameraConfig& c, std::size_t) {
             c.heartbeatTimeout =
                 r.Number(v, p, 0, 3600, true, "a number of seconds from 0 to 3600");
         }},
        {"controlRoundTrip",
         [](const Reader& r, const json& v, const std::string& p, CameraConfig& c, std::size_t) {
             c.controlRoundTrip = r.Number(v, p, 0, 10, true, "a number of seconds from 0 to 10");
         }},
        {"recording", [](const Reader& r, const json& v, const std::string& p, CameraConfig&,
                         std::size_t index) { r.ReadRecording(v, p, index); }},
    };
    return keys;
}

// Scenarios are small; anything larger is not one, and reading it whole would be unbounded.
constexpr std::size_t kMaxScenarioBytes = 1 << 20;

// Opens without waiting (a FIFO would block until a writer came) and looks at what was opened,
// links followed, before reading a byte of it.
std::string ReadFile(const std::string& path) {
    auto fail = [&](const std::string& fault) {
        ORVEL_THROW(RuntimeException, "Emulation scenario '" + path + "': " + fault);
    };
    auto failRead = [&](int error) {
        fail(std::string("cannot be read (") + std::strerror(error) + ")");
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        failRead(errno);
    }
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        failRead(errno);
    }
    if (!S_ISREG(status.st_mode)) {
        fail("not a regular file");
    }
    if (static_cast<std::uint64_t>(status.st_size) > kMaxScenarioBytes) {
        fail("larger than 1 MiB");
    }
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            failRead(errno);
        }
        if (got == 0) {
            return text;
        }
        // The file may have grown since it was looked at.
        if (text.size() + static_cast<std::size_t>(got) > kMaxScenarioBytes) {
            fail("larger than 1 MiB");
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
}

// Refuses a key given twice in one object, which JSON parsers otherwise let the last one win:
// a typo in a long scenario would go unnoticed. Paths are built only for the message.
class DuplicateKeyCheck {
public:
    explicit DuplicateKeyCheck(const std::string& origin) : origin_(origin) {}

    bool operator()(int /*depth*/, json::parse_event_t event, json& parsed) {
        switch (event) {
            case json::parse_event_t::object_start:
            case json::parse_event_t::array_start:
                open_.push_back({event == json::parse_event_t::array_start, {}, {}, 0});
                break;
            case json::parse_event_t::key: {
                std::string key = parsed.get<std::string>();
                if (!open_.back().keys.insert(key).second) {
                    open_.pop_back();
                    const std::string where = Path();
                    ORVEL_THROW(RuntimeException, "Emulation scenario '" + origin_ +
                                                      "': duplicate key '" + key + "'" +
                                                      (where.empty() ? "" : " in " + where));
                }
                open_.back().key = std::move(key);
                break;
            }
            case json::parse_event_t::object_end:
            case json::parse_event_t::array_end:
                open_.pop_back();
                ElementDone();
                break;
            case json::parse_event_t::value:
                ElementDone();
                break;
        }
        return true;
    }

private:
    struct Container {
        bool array;
        std::set<std::string> keys;
        std::string key;    // objects: the key of the element being read
        std::size_t index;  // arrays: the index of the element being read
    };

    void ElementDone() {
        if (!open_.empty() && open_.back().array) {
            ++open_.back().index;
        }
    }

    // "cameras[1].grabFailures": where the innermost open container sits.
    std::string Path() const {
        std::string path;
        for (const Container& container : open_) {
            if (container.array) {
                path += "[" + std::to_string(container.index) + "]";
            } else {
                path += (path.empty() ? "" : ".") + container.key;
            }
        }
        return path;
    }

    const std::string& origin_;
    std::vector<Container> open_;
};

}  // namespace

Scenario ParseScenario(std::string_view text, const std::string& origin) {
    json root;
    try {
        root = json::parse(text, DuplicateKeyCheck(origin), true, /*ignore_comments=*/true);
    } catch (const json::exception& error) {
        ORVEL_THROW(RuntimeException,
                    "Emulation scenario '" + origin + "': not valid JSON: " + error.what());
    }
    return Reader(origin).Read(root);
}

Scenario LoadScenario(const char* setting) {
    const std::string value = setting ? setting : "";
    if (value.empty()) {
        return ParseScenario("{}", "");
    }
    if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        const std::size_t digits = value.find_first_not_of('0');
        const std::string significant = digits == std::string::npos ? "0" : value.substr(digits);
        if (significant.size() > 2 || std::stoul(significant) > kMaxCameras) {
            ORVEL_THROW(RuntimeException,
                        "ORVEL_EMULATION=" + value + ": the emulation serves at most 64 cameras.");
        }
        Scenario scenario;
        for (std::size_t i = 0; i < std::stoul(significant); ++i) {
            scenario.cameras.push_back(DefaultCamera(i));
        }
        return scenario;
    }
    return ParseScenario(ReadFile(value), value);
}

}  // namespace Orvel::detail
