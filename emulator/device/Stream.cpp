// A served camera's stream: the emulated camera's schedule (free-running or one frame per
// software trigger), each raw pair sent as GVSP leader, payload packets and trailer, paced to the
// modelled link, with the link's losses applied as packets are sent and resends served from the
// frames sent last, ahead of the frame on its way.
#include <algorithm>
#include <cmath>
#include <exception>
#include <iostream>
#include <limits>

#include <arpa/inet.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include "GigeCamera.h"
#include "Gvcp.h"
#include "Link.h"

namespace Tarnwell::device {

namespace {

// Packets of one sendmmsg, and how far ahead of the wire's schedule the thread sleeps: a frame's
// packets go out in batches this long, never a packet early.
constexpr std::size_t kBatchPackets = 64;
constexpr double kPacingSeconds = 1e-3;

}  // namespace

// Packets ready for one sendmmsg: headers here, data pointing into the sequence's frames.
class GigeCamera::Batch {
public:
    bool Empty() const { return count_ == 0; }
    bool Full() const { return count_ == kBatchPackets; }

    void Add(const Layout& layout, const SentFrame& frame, std::int64_t id, bool resent) {
        std::uint8_t* header = headers_[count_].data();
        iovec* iov = iov_[count_].data();
        std::fill_n(header, gvsp::kLeaderBytes, 0);
        Put16(header, resent ? gvcp::kPacketResend : gvcp::kSuccess);
        Put16(header + 2, frame.block);
        const auto packetId = static_cast<std::uint32_t>(id);
        std::size_t parts = 1;
        std::size_t headerBytes = gvsp::kHeaderBytes;
        if (id == 0) {
            Put32(header + 4, std::uint32_t{gvsp::kFormatLeader} << 24 | packetId);
            Put16(header + 10, gvsp::kPayloadImage);
            Put64(header + 12, frame.timestamp);
            Put32(header + 20, gvsp::kPixelMono8);
            Put32(header + 24, layout.width);
            Put32(header + 28, layout.height);
            headerBytes = gvsp::kLeaderBytes;
        } else if (id == layout.packets - 1) {
            Put32(header + 4, std::uint32_t{gvsp::kFormatTrailer} << 24 | packetId);
            Put16(header + 10, gvsp::kPayloadImage);
            Put32(header + 12, layout.height);
            headerBytes = gvsp::kTrailerBytes;
        } else {
            Put32(header + 4, std::uint32_t{gvsp::kFormatPayload} << 24 | packetId);
            // The pair is the left view above the right one: a packet may hold the end of one
            // and the start of the other.
            const std::size_t view = std::size_t{layout.width} * (layout.height / 2);
            const std::size_t from = static_cast<std::size_t>(id - 1) * layout.chunk;
            const std::size_t to = std::min(from + layout.chunk, 2 * view);
            const std::uint8_t* left = frame.frame->left.Row(0);
            const std::uint8_t* right = frame.frame->right.Row(0);
            if (from < view) {
                iov[parts++] = {const_cast<std::uint8_t*>(left + from), std::min(to, view) - from};
            }
            if (to > view) {
                const std::size_t start = std::max(from, view) - view;
                iov[parts++] = {const_cast<std::uint8_t*>(right + start), to - view - start};
            }
        }
        iov[0] = {header, headerBytes};
        messages_[count_] = {};
        messages_[count_].msg_hdr.msg_iov = iov;
        messages_[count_].msg_hdr.msg_iovlen = parts;
        ++count_;
    }

    // Sends on `fd`, connected to the stream's destination.
    void Send(int fd) {
        // A packet the socket cannot take now is lost, as on a congested wire.
        for (std::size_t sent = 0; sent < count_;) {
            const int n = sendmmsg(fd, messages_.data() + sent,
                                   static_cast<unsigned>(count_ - sent), MSG_DONTWAIT);
            if (n <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(n);
        }
        count_ = 0;
    }
    void Drop() { count_ = 0; }

private:
    std::size_t count_ = 0;
    std::array<std::array<std::uint8_t, gvsp::kLeaderBytes>, kBatchPackets> headers_{};
    std::array<std::array<iovec, 3>, kBatchPackets> iov_{};
    std::array<mmsghdr, kBatchPackets> messages_{};
};

double GigeCamera::Seconds(Clock::time_point t) const {
    return std::chrono::duration<double>(t - epoch_).count();
}

GigeCamera::Clock::time_point GigeCamera::At(double seconds) const {
    return epoch_ + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(std::min(seconds, 1e9)));
}

void GigeCamera::Stream() {
    // Wake-ups on time: the pacing sleeps are a fraction of a millisecond.
    prctl(PR_SET_TIMERSLACK, 1000UL);
    auto batch = std::make_unique<Batch>();
    Peer connected;
    MutexLock lock(mutex_);
    while (!shared_.stop) {
        ScheduleFrame();  // first, so that a session a stop ended gives way to the next one
        if (shared_.acquiring && !session_) {
            if (!TakeSequence()) {
                continue;
            }
            // The frames are drawn before the first exposure, without the lock (the settings
            // stay locked while acquiring); a stop ends the drawing within a frame.
            lock.Unlock();
            const bool prepared = sequence_->Prepare([this]() ORVEL_EXCLUDES(mutex_) {
                MutexLock check(mutex_);
                return shared_.stop || !shared_.acquiring;
            });
            lock.Lock();
            // A stop meanwhile may have let the settings change before a new start.
            if (!prepared || shared_.stop || !shared_.acquiring ||
                !sequence_->Serves(shared_.settings, false)) {
                continue;
            }
            StartSession();
            ScheduleFrame();
        }
        TakeResends();
        const double now = Seconds(Clock::now());
        const std::optional<double> next = FillBatch(*batch, now);
        if (!batch->Empty()) {
            const Peer destination{shared_.destination, shared_.hostPort};
            lock.Unlock();
            if (destination.address != 0 && destination.port != 0) {
                // Connected, the socket keeps its route instead of looking it up per packet.
                if (!(destination == connected)) {
                    sockaddr_in to{};
                    to.sin_family = AF_INET;
                    to.sin_addr.s_addr = htonl(destination.address);
                    to.sin_port = htons(destination.port);
                    connect(streamFd_, reinterpret_cast<const sockaddr*>(&to), sizeof to);
                    connected = destination;
                }
                batch->Send(streamFd_);
            } else {
                batch->Drop();  // no host asked for the stream
            }
            lock.Lock();
            continue;
        }
        if (next) {
            lock.WaitUntil(streamWake_, At(*next));
        } else {
            lock.Wait(streamWake_);
        }
    }
}

bool GigeCamera::TakeSequence() {
    const emu::Settings& settings = shared_.settings;
    // The ring's frames may be the old sequence's: they go first, and block ids start again.
    ring_.clear();
    ringNext_ = 0;
    resends_.clear();
    try {
        if (!sequence_ || !sequence_->Serves(settings, false)) {
            sequence_.reset();
            sequence_ = std::make_unique<emu::SensorSequence>(
                settings, emu::SceneSeed(seed_, index_), *config_.recording, false);
        }
    } catch (const std::exception& error) {
        std::cerr << "Camera '" << config_.friendlyName
                  << "' cannot prepare its frames: " << error.what() << std::endl;
        StopAcquisition();
        return false;
    }
    return true;
}

void GigeCamera::StartSession() {
    const emu::Settings& settings = shared_.settings;
    const emu::Timing timing = emu::ComputeTiming(config_, settings);
    layout_.packets = timing.packets;
    layout_.chunk = static_cast<std::size_t>(settings.packetSize) - gvsp::kOverheadBytes;
    const emu::Geometry pair = emu::ComponentGeometry(settings, emu::kRawCombined);
    layout_.width = static_cast<std::uint32_t>(pair.width);
    layout_.height = static_cast<std::uint32_t>(pair.height);
    layout_.packetSeconds = timing.packetTime;
    Session session;
    session.start = shared_.starts;
    session.triggered = settings.triggered;
    session.period = 1 / settings.frameRate;
    session.begin = std::max(Seconds(Clock::now()), wire_);
    session_ = session;
}

void GigeCamera::ScheduleFrame() {
    if (!session_) {
        return;
    }
    Session& session = *session_;
    if (!shared_.acquiring || shared_.starts != session.start) {
        // AcquisitionStop lets the frame whose exposure has begun finish; a later one is not made.
        const double stopped = Seconds(shared_.stoppedAt);
        if (session.current && session.current->next == 0 && session.exposure > stopped) {
            session.current.reset();
        }
        if (!session.current) {
            session_.reset();
        }
        return;
    }
    if (session.current) {
        return;
    }
    // The sensor is free once the previous frame's readout can follow on the link.
    const double ready =
        session.frames == 0 ? session.begin : session.linkFree - emu::kExposureSeconds;
    double exposure = 0;
    if (session.triggered) {
        if (shared_.triggers.empty()) {
            return;
        }
        const double arrived = Seconds(shared_.triggers.front());
        shared_.triggers.pop_front();
        shared_.sensorFreeAt = std::numeric_limits<double>::infinity();  // until its readout
        std::uniform_real_distribution<double> jitter(0, emu::kTriggerJitterSeconds);
        exposure = std::max(arrived, ready) + (session.frames == 0 ? emu::kTriggerArmSeconds : 0) +
                   jitter(random_);
    } else {
        exposure = session.frames == 0 ? session.begin
                                       : std::max(session.lastExposure + session.period, ready);
    }
    ++session.frames;
    session.lastExposure = exposure;
    session.exposure = exposure;
    Outgoing frame;
    frame.sent.block = session.nextBlock;
    session.nextBlock = static_cast<std::uint16_t>(
        session.nextBlock == 0xFFFF ? 1 : session.nextBlock + 1);  // 0 is no id
    frame.sent.frame = &sequence_->Frame(session.frames);
    frame.sent.timestamp = static_cast<std::uint64_t>(exposure * 1e9);
    frame.end = layout_.packets;
    frame.lost =
        emu::LosePackets(layout_.packets, config_.packetLossRate, config_.lossBurstLength, random_);
    frame.eligible = exposure + emu::kExposureSeconds;
    session.current = std::move(frame);
}

void GigeCamera::TakeResends() {
    for (const ResendRequest& request : shared_.resends) {
        if (resends_.size() >= kMaxResendWork) {
            break;
        }
        const auto held = std::find_if(ring_.begin(), ring_.end(), [&](const SentFrame& frame) {
            return frame.block == request.block;
        });
        if (held == ring_.end() || request.first >= layout_.packets) {
            continue;  // a frame no longer held: the host gives its packets up
        }
        Outgoing work;
        work.sent = *held;
        work.next = request.first;
        work.end = std::min<std::int64_t>(std::int64_t{request.last} + 1, layout_.packets);
        // Resent packets cross the same link, and may be lost again.
        work.lost = emu::LosePackets(work.end - work.next, config_.packetLossRate,
                                     config_.lossBurstLength, random_);
        for (std::int64_t& id : work.lost) {
            id += work.next;
        }
        work.eligible = Seconds(Clock::now());
        work.resend = true;
        resends_.push_back(std::move(work));
    }
    shared_.resends.clear();
}

std::optional<double> GigeCamera::FillBatch(Batch& batch, double now) {
    const double slot = layout_.packetSeconds;
    while (!batch.Full()) {
        Outgoing* work = nullptr;
        if (!resends_.empty()) {
            work = &resends_.front();  // resends go ahead of the frame on its way
        } else if (session_ && session_->current) {
            work = &*session_->current;
        } else {
            return std::nullopt;
        }
        const double start = std::max(wire_, work->eligible);
        if (start > now) {
            // Sleep until a batch's worth is due (the last of those exactly on time).
            const auto left = static_cast<double>(work->end - work->next - 1);
            return start + std::min(kPacingSeconds, std::max(0.0, left) * slot);
        }
        const std::int64_t id = work->next++;
        wire_ = start + slot;
        work->eligible = wire_;
        if (work->lostAt < work->lost.size() && work->lost[work->lostAt] == id) {
            ++work->lostAt;  // lost on the link: it takes its time on the wire, and no more
        } else {
            batch.Add(layout_, work->sent, id, work->resend);
        }
        if (work->next == work->end) {
            Finish(*work);
            return now;
        }
    }
    return now;
}

void GigeCamera::Finish(Outgoing& work) {
    if (work.resend) {
        resends_.pop_front();
        return;
    }
    Session& session = *session_;
    session.linkFree = wire_;
    shared_.sensorFreeAt = session.linkFree - emu::kExposureSeconds;
    if (ring_.size() < kRingFrames) {
        ring_.push_back(work.sent);
    } else {
        ring_[ringNext_] = work.sent;
        ringNext_ = (ringNext_ + 1) % kRingFrames;
    }
    session.current.reset();
}

}  // namespace Tarnwell::device
