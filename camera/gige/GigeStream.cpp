#include "GigeStream.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string_view>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

#include "Orvel/Transport/Errors.h"

namespace Orvel::detail {

namespace {

// How long a stop waits for a frame already on its way, as the emulated camera lets it finish.
constexpr auto kFinishFrame = std::chrono::milliseconds(500);
constexpr auto kQuiet = std::chrono::milliseconds(20);

std::size_t IndexIn(const auto& names, const std::string& value) {
    const auto at =
        std::find_if(names.begin(), names.end(), [&](const char* name) { return value == name; });
    return static_cast<std::size_t>(at - names.begin());
}

std::int64_t Statistic(ArvStream* stream, const char* name) {
    return static_cast<std::int64_t>(arv_stream_get_info_uint64_by_name(stream, name));
}

// Aravis receives through a packet socket when the program may open one and the stream is
// free-running; else through a UDP socket whose buffer the kernel caps at net.core.rmem_max (and
// doubles). A buffer smaller than a frame loses most of every frame, whatever the resends do.
void CheckReceiveBuffer(const std::string& camera, std::int64_t frameBytes, bool udpSocket) {
    if (!udpSocket) {
        const int probe = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        if (probe >= 0) {
            ::close(probe);
            return;
        }
    }
    std::int64_t limit = 0;
    std::ifstream("/proc/sys/net/core/rmem_max") >> limit;
    if (limit <= 0 || 2 * limit >= frameBytes) {
        return;
    }
    ORVEL_THROW(RuntimeException,
                "Cannot start grabbing: camera '" + camera + "' sends frames of " +
                    std::to_string(frameBytes) + " B, but a receive buffer may hold only " +
                    std::to_string(2 * limit) +
                    " B (net.core.rmem_max); raise it (sysctl -w net.core.rmem_max=" +
                    std::to_string(frameBytes) +
                    ") or let the program open a packet socket (CAP_NET_RAW).");
}

}  // namespace

GigeStream::GigeStream(ArvDevice* device, std::string name, std::uint32_t bufferCount,
                       double heartbeatSeconds)
    : device_(device),
      name_(std::move(name)),
      bufferCount_(bufferCount),
      heartbeatSeconds_(heartbeatSeconds) {}

GigeStream::~GigeStream() {
    Stop();
}

void GigeStream::RaiseLost() const {
    RaiseCameraLost({name_, heartbeatSeconds_});
}

void GigeStream::ControlLost() {
    lost_.store(true);
    const std::lock_guard session(sessionMutex_);
    if (!host_.IsRunning()) {
        return;
    }
    ResultPool& pool = host_.Pool();
    {
        MutexLock lock(pool.mutex);
        if (!pool.State().lostAt) {
            pool.State().lostAt = Clock::now();
        }
    }
    pool.resultReady.notify_all();
}

Settings GigeStream::ReadSettings(ComponentsPresent& present) const {
    GErrorSlot error;
    auto fail = [&](const char* feature) {
        ORVEL_THROW(RuntimeException, std::string("Cannot start grabbing: cannot read ") + feature +
                                          " from camera '" + name_ + "': " + error.Text());
    };
    auto integer = [&](const char* feature) {
        const std::int64_t value =
            arv_device_get_integer_feature_value(device_, feature, error.Out());
        if (error) {
            fail(feature);
        }
        return value;
    };
    auto entry = [&](const char* feature, const auto& names) {
        const char* value = arv_device_get_string_feature_value(device_, feature, error.Out());
        if (error || value == nullptr) {
            fail(feature);
        }
        const std::size_t index = IndexIn(names, value);
        if (index == names.size()) {
            error.Clear();
            ORVEL_THROW(RuntimeException, std::string("Cannot start grabbing: camera '") + name_ +
                                              "' reports " + feature + " '" + value +
                                              "', which this SDK does not know.");
        }
        return index;
    };
    Settings settings;
    settings.quality = entry("VkrDepthQuality", kQualityNames);
    settings.mode = entry("VkrComponentMode", kModeNames);
    settings.binningHorizontal = integer("BinningHorizontal");
    settings.binningVertical = integer("BinningVertical");
    settings.packetSize = integer("GevSCPSPacketSize");
    if (const char* trigger =
            arv_device_get_string_feature_value(device_, "TriggerMode", nullptr)) {
        settings.triggered = std::string_view(trigger) == "On";
    }
    for (const std::int64_t binning : {settings.binningHorizontal, settings.binningVertical}) {
        if (binning != 1 && binning != 2 && binning != 4) {
            ORVEL_THROW(RuntimeException, "Cannot start grabbing: camera '" + name_ +
                                              "' reports binning " + std::to_string(binning) +
                                              ", which this SDK does not know.");
        }
    }
    if (settings.packetSize <= kGevHeaderBytes) {
        ORVEL_THROW(RuntimeException, "Cannot start grabbing: camera '" + name_ +
                                          "' reports a packet size of " +
                                          std::to_string(settings.packetSize) + " bytes.");
    }
    // The enabled components: each entry the selector offers now, the selector put back. An entry
    // it does not offer (RawCombined outside the single-component mode) is not sent anyway.
    const std::size_t selected = entry("ComponentSelector", kComponentNames);
    present.fill(false);
    settings.enabled.fill(false);
    guint count = 0;
    const char** entries = arv_device_dup_available_enumeration_feature_values_as_strings(
        device_, "ComponentSelector", &count, error.Out());
    if (error || entries == nullptr) {
        fail("ComponentSelector");
    }
    std::vector<std::string> names(entries, entries + count);
    g_free(static_cast<void*>(entries));
    for (const std::string& name : names) {
        const std::size_t c = IndexIn(kComponentNames, name);
        if (c == kComponentCount) {
            continue;
        }
        present[c] = true;
        arv_device_set_string_feature_value(device_, "ComponentSelector", name.c_str(),
                                            error.Out());
        if (error) {
            fail("ComponentSelector");
        }
        settings.enabled[c] =
            arv_device_get_boolean_feature_value(device_, "ComponentEnable", error.Out()) != FALSE;
        if (error) {
            fail("ComponentEnable");
        }
    }
    arv_device_set_string_feature_value(device_, "ComponentSelector", kComponentNames[selected],
                                        error.Out());
    if (error) {
        fail("ComponentSelector");
    }
    return settings;
}

void GigeStream::Execute(const char* command, bool required) const {
    GErrorSlot error;
    arv_device_execute_command(device_, command, error.Out());
    if (error && required) {
        ORVEL_THROW(RuntimeException, std::string("Cannot start grabbing: camera '") + name_ +
                                          "' refused " + command + ": " + error.Text());
    }
}

void GigeStream::Start() {
    if (host_.IsRunning()) {
        return;
    }
    if (IsLost()) {
        RaiseLost();
    }
    ComponentsPresent present{};
    settings_ = ReadSettings(present);
    const FrameLayout layout = LayOut(present, settings_);
    if (layout.payloadSize == 0) {
        ORVEL_THROW(RuntimeException,
                    std::string("Cannot start grabbing: no image component is enabled in "
                                "component mode '") +
                        kModeNames[settings_.mode] + "'.");
    }
    if (layout.offsets[kError] != kNotSent) {
        ORVEL_THROW(RuntimeException,
                    "Cannot start grabbing: the Error component needs the scene's true "
                    "disparity, which a camera on a GigE Vision link does not send.");
    }
    packets_ = PacketsPerFrame(settings_);
    CheckReceiveBuffer(name_, LinkBytes(settings_), settings_.triggered);
    HostStream::Plan plan;
    plan.bufferCount = bufferCount_;
    plan.payloadSize = layout.payloadSize;
    plan.components = layout.components;
    plan.componentCount = layout.componentCount;
    plan.processing = HostPlanFor(settings_, layout);
    plan.releasePair = [this](void* source) { Recycle(static_cast<ArvBuffer*>(source), false); };
    missingSeen_ = 0;
    sessionFramesBefore_ = counters_[kTotalBuffers] + counters_[kBufferUnderruns];
    sessionPacketsBefore_ = counters_[kTotalPackets];
    failedPacketsBefore_ = counters_[kFailedPackets];
    {
        const std::lock_guard session(sessionMutex_);
        host_.Start(plan, counters_, resultNumber_, std::nullopt);
    }
    {
        const std::lock_guard callbacks(callbackMutex_);
        accepting_ = true;
    }
    try {
        GErrorSlot error;
        ArvStream* stream = nullptr;
        {
            // Aravis's receiving thread leaves the program's signals to the program's thread.
            const SignalsBlockedInNewThreads blocked;
            // Triggered frames are received through a UDP socket, which hands each packet over as
            // it comes: a packet socket's ring hands a partly filled block over only at its
            // time-out, milliseconds after a frame's last packet. Free-running streams keep the
            // packet socket, which costs the host far less per packet.
            arv_gv_device_set_stream_options(ARV_GV_DEVICE(device_),
                                             settings_.triggered
                                                 ? ARV_GV_STREAM_OPTION_PACKET_SOCKET_DISABLED
                                                 : ARV_GV_STREAM_OPTION_NONE);
            stream =
                arv_device_create_stream_full(device_, &OnStreamEvent, this, nullptr, error.Out());
        }
        if (stream == nullptr) {
            ORVEL_THROW(RuntimeException,
                        "Cannot start grabbing: no GigE Vision stream from camera '" + name_ +
                            "': " + error.Text());
        }
        stream_.reset(stream);
        // Resends always; the socket holds two frames, as receivers of full-rate streams size it.
        const auto pair = static_cast<std::size_t>(LinkBytes(settings_));
        // Aravis gives a frame up once it is older than its retention (100 ms by default), judged
        // when it next reads packets: a receiving thread the system held back for that long would
        // give up frames whose packets all wait in the socket. Half a second, as a stop waits for
        // a frame on its way.
        // Every missing packet may be asked for again: Aravis stops asking once a quarter of a
        // frame is missing, yet a UDP socket Aravis enlarges only as the first frame begins may
        // drop over half of that frame on a busy host, while the camera still holds it all.
        g_object_set(
            stream, "packet-resend", ARV_GV_STREAM_PACKET_RESEND_ALWAYS, "packet-request-ratio",
            1.0, "socket-buffer", ARV_GV_STREAM_SOCKET_BUFFER_FIXED, "socket-buffer-size",
            static_cast<gint>(std::min<std::size_t>(2 * pair + (1 << 20), 1 << 30)),
            "frame-retention",
            static_cast<guint>(
                std::chrono::duration_cast<std::chrono::microseconds>(kFinishFrame).count()),
            nullptr);
        for (std::uint32_t i = 0; i < bufferCount_ + kExtraBuffers; ++i) {
            ArvBuffer* buffer = arv_buffer_new_allocate(pair);
            if (buffer == nullptr) {
                ORVEL_THROW(BadAllocException,
                            "Cannot start grabbing: cannot allocate receive buffers of " +
                                std::to_string(pair) + " bytes.");
            }
            arv_stream_push_buffer(stream, buffer);
        }
        {
            GErrorSlot lockError;
            if (arv_device_is_feature_available(device_, "TLParamsLocked", nullptr)) {
                arv_device_set_integer_feature_value(device_, "TLParamsLocked", 1, lockError.Out());
            }
        }
        Execute("AcquisitionStart", true);
    } catch (...) {
        Stop();
        throw;
    }
}

void GigeStream::Stop() noexcept {
    if (!host_.IsRunning()) {
        return;
    }
    // A lost camera is not told anything: each command would wait for its time-outs.
    if (stream_ && !IsLost()) {
        Execute("AcquisitionStop", false);
        if (arv_device_is_feature_available(device_, "TLParamsLocked", nullptr)) {
            arv_device_set_integer_feature_value(device_, "TLParamsLocked", 0, nullptr);
        }
        // The frame already on its way may finish: the wait ends once no frame is half received
        // and no packet has come for a while.
        const auto until = Clock::now() + kFinishFrame;
        std::int64_t seen = -1;
        Clock::time_point quietSince = Clock::now();
        while (Clock::now() < until) {
            const std::int64_t received = Statistic(stream_.get(), "n_received_packets");
            if (received != seen) {
                seen = received;
                quietSince = Clock::now();
            }
            bool inFlight = false;
            {
                MutexLock lock(host_.Pool().mutex);
                inFlight = std::any_of(claimed_.begin(), claimed_.end(),
                                       [](const auto& c) { return c.second != nullptr; });
            }
            if (!inFlight && Clock::now() - quietSince >= kQuiet) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    {
        // From here Aravis's thread leaves the session alone; it ends with the stream.
        const std::lock_guard callbacks(callbackMutex_);
        accepting_ = false;
    }
    // A frame begun but not finished by now is given up: its result goes back unused, and it
    // counts as a failed frame, since its packets that came are counted.
    std::int64_t givenUp = 0;
    {
        ResultPool& pool = host_.Pool();
        MutexLock lock(pool.mutex);
        for (auto& [buffer, data] : claimed_) {
            if (data != nullptr) {
                pool.Discard(data);
                data = nullptr;
                ++givenUp;
            }
        }
    }
    PacketStatistics statistics;
    if (stream_) {
        statistics = ReadStatistics();
    }
    {
        const std::lock_guard session(sessionMutex_);
        {
            MutexLock lock(host_.Pool().mutex);
            counters_ = host_.Pool().State().counters;
            resultNumber_ = host_.Pool().State().resultNumber;
        }
        host_.Stop();  // gives the pairs it still reads back to Recycle
    }
    counters_[kTotalBuffers] += givenUp;
    counters_[kFailedBuffers] += givenUp;
    AddStatistics(counters_, statistics);
    CountLostPackets(counters_);
    {
        // Buffers taken from Aravis's output are ours to free; the rest go with the stream.
        const std::lock_guard lock(recycleMutex_);
        for (ArvBuffer* buffer : output_) {
            g_object_unref(buffer);
        }
        held_.clear();
        output_.clear();
    }
    claimed_.clear();
    stream_.reset();  // Aravis frees the buffers it holds
}

IStreamGrabber::Outcome GigeStream::Retrieve(Deadline deadline, CGrabResultPtr& result,
                                             bool& ended) {
    return host_.Retrieve(deadline, result, ended, {name_, heartbeatSeconds_});
}

GigeStream::PacketStatistics GigeStream::ReadStatistics() const {
    PacketStatistics s;
    ArvStream* stream = stream_.get();
    s.received =
        Statistic(stream, "n_received_packets") - Statistic(stream, "n_duplicated_packets");
    s.requests = Statistic(stream, "n_resend_requests");
    s.resent = Statistic(stream, "n_resent_packets");
    s.underruns = Statistic(stream, "n_underruns");
    return s;
}

void GigeStream::AddStatistics(std::array<std::int64_t, kCounterCount>& counters,
                               const PacketStatistics& s) const {
    counters[kTotalPackets] += s.received;
    counters[kResendRequests] += s.requests;
    counters[kResendPackets] += s.resent;
    counters[kBufferUnderruns] += s.underruns;
}

// Packets finally lost: those of the frames counted that never arrived. Aravis's own count of
// missing packets is not that (it estimates a given-up frame's size, and its figure can exceed
// the frame's packets many times over).
void GigeStream::CountLostPackets(std::array<std::int64_t, kCounterCount>& counters) const {
    const std::int64_t expected =
        packets_ * (counters[kTotalBuffers] + counters[kBufferUnderruns] - sessionFramesBefore_);
    counters[kFailedPackets] =
        failedPacketsBefore_ +
        std::max<std::int64_t>(0, expected - (counters[kTotalPackets] - sessionPacketsBefore_));
}

std::int64_t GigeStream::Counter(std::size_t counter) {
    if (!host_.IsRunning()) {
        return counters_[counter];
    }
    std::array<std::int64_t, kCounterCount> counters{};
    {
        MutexLock lock(host_.Pool().mutex);
        counters = host_.Pool().State().counters;
    }
    if (stream_) {
        AddStatistics(counters, ReadStatistics());
    }
    CountLostPackets(counters);
    return counters[counter];
}

void GigeStream::OnStreamEvent(void* self, ArvStreamCallbackType type, ArvBuffer* buffer) {
    auto* stream = static_cast<GigeStream*>(self);
    const std::lock_guard callbacks(stream->callbackMutex_);
    if (!stream->accepting_) {
        return;
    }
    if (type == ARV_STREAM_CALLBACK_TYPE_START_BUFFER && buffer != nullptr) {
        stream->BufferStarted(buffer);
    } else if (type == ARV_STREAM_CALLBACK_TYPE_BUFFER_DONE && buffer != nullptr) {
        stream->BufferDone(buffer);
    }
}

void GigeStream::BufferStarted(ArvBuffer* buffer) {
    ResultPool& pool = host_.Pool();
    MutexLock lock(pool.mutex);
    claimed_[buffer] = host_.Claim(pool, arv_buffer_get_frame_id(buffer), Clock::now(), 0);
}

void GigeStream::BufferDone(ArvBuffer* buffer) {
    const ArvBufferStatus status = arv_buffer_get_status(buffer);
    const bool success = status == ARV_BUFFER_STATUS_SUCCESS;
    const std::int64_t missing = Statistic(stream_.get(), "n_missing_packets");
    const std::int64_t lost = std::max<std::int64_t>(0, missing - missingSeen_);
    missingSeen_ = missing;
    bool held = false;
    {
        ResultPool& pool = host_.Pool();
        MutexLock lock(pool.mutex);
        auto at = claimed_.find(buffer);
        CGrabResultData* data = at == claimed_.end() ? nullptr : at->second;
        if (at != claimed_.end()) {
            at->second = nullptr;
        }
        if (data == nullptr && at == claimed_.end()) {
            // Completed without a start (Aravis gave up a frame it never began): claimed now.
            data = host_.Claim(pool, arv_buffer_get_frame_id(buffer), Clock::now(), 0);
        }
        if (data != nullptr) {
            ReceivedFrame frame;
            frame.data = data;
            frame.arrival = Clock::now();
            if (success) {
                std::size_t size = 0;
                const auto* pair =
                    static_cast<const std::uint8_t*>(arv_buffer_get_data(buffer, &size));
                const auto eye = ComponentGeometry(settings_, kIntensity);
                const int width = static_cast<int>(eye.width);
                const int height = static_cast<int>(eye.height);
                frame.pair.left = {pair, width, height, width};
                frame.pair.right = {pair + eye.Bytes(), width, height, width};
                frame.source = buffer;
                held = true;
            } else {
                char text[160];
                if (lost > 0 && lost <= packets_) {
                    std::snprintf(text, sizeof text, "Buffer incomplete: %lld of %lld packets lost",
                                  static_cast<long long>(lost), static_cast<long long>(packets_));
                } else {
                    std::snprintf(text, sizeof text, "Buffer incomplete: %s",
                                  status == ARV_BUFFER_STATUS_TIMEOUT ? "the frame timed out"
                                  : status == ARV_BUFFER_STATUS_SIZE_MISMATCH
                                      ? "its size differs from the camera's settings"
                                      : "the frame was given up with packets missing");
                }
                GrabResultAccess::SetOutcome(*data, false, kBufferIncomplete, text);
            }
            host_.Receive(pool, frame, 0, 0, 0, 0);
        }
    }
    Recycle(buffer, held);
}

void GigeStream::Recycle(ArvBuffer* buffer, bool held) {
    const std::lock_guard lock(recycleMutex_);
    held_[buffer] = held;
    RecycleLocked();
}

void GigeStream::RecycleLocked() {
    if (!stream_) {
        return;
    }
    // Aravis queues a buffer as output after its completion callback: what it has queued so far
    // goes back to its input unless the host still reads it.
    while (ArvBuffer* done = arv_stream_try_pop_buffer(stream_.get())) {
        output_.push_back(done);
    }
    auto kept = std::remove_if(output_.begin(), output_.end(), [this](ArvBuffer* done) {
        const auto at = held_.find(done);
        if (at == held_.end() || at->second) {
            return false;
        }
        held_.erase(at);
        arv_stream_push_buffer(stream_.get(), done);
        return true;
    });
    output_.erase(kept, output_.end());
}

}  // namespace Orvel::detail
