// The emulated GigE Vision link: a frame's packets on the wire, the ones it loses, and the resends
// the host asks for, with the time each costs and the link capacity each takes.
#pragma once

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace Orvel::detail {

struct LinkParameters {
    std::int64_t packets = 0;   // per frame, leader and trailer included
    double packetSeconds = 0;   // one packet on the wire, the inter-packet delay included
    double lossRate = 0;        // probability that a packet is lost, per try
    double burstLength = 1;     // mean run of lost packets; 1: each packet lost independently
    double packetTimeout = 0;   // how long the host waits for a packet before it asks again
    double requestSeconds = 0;  // a resend request's way to the camera: half a control round trip
};

// One frame on the link; times in seconds on the link's own clock.
struct Transmission {
    double readoutEnd = 0;       // the frame's own packets are on the wire; the next may follow
    double arrival = 0;          // the frame is whole then, or, with packets still lost, given up
    std::int64_t requested = 0;  // resend requests: one per run of consecutive missing packets
    std::int64_t resent = 0;     // packets sent again, over both rounds: they take the link
    std::int64_t recovered = 0;  // packets a resend brought
    std::int64_t lost = 0;       // packets missing after the second round
};

// The wire between one camera and the host. A frame's packets go out back to back from its
// readout on; resent packets go out as soon as their request reaches the camera, ahead of any
// frame's packets, which wait for them. The host notices a run of lost packets when the packet
// after it arrives, or, at a frame's end, a packet time-out after the last one that came; it asks
// for each run once (the request takes its way to the camera), and for the packets lost again a
// second and last time, a time-out after they were due.
class Link {
public:
    explicit Link(const LinkParameters& parameters) : link_(parameters) {}

    // Sends a frame whose readout begins at `readout`, its losses drawn from `random`.
    Transmission Send(double readout, std::mt19937_64& random);
    // Sends a frame nobody asks anything of (the host had no buffer for it): its packets only.
    double SendUnasked(double readout);

    const LinkParameters& Parameters() const { return link_; }

private:
    // The end of the wire slot of one packet sent no sooner than `from`, around the resends.
    double Slot(double from);
    // Schedules `count` resent packets once their request reaches the camera at `reach`; the
    // arrival of each goes to `arrivals`.
    void Resend(double reach, std::size_t count, std::vector<double>& arrivals);
    // Drops the resends that ended before `before`, and starts the next frame's slots over.
    void Forget(double before);

    LinkParameters link_;
    std::vector<std::pair<double, double>> resends_;  // the link's resend intervals, in order
    std::size_t next_ = 0;  // the first resend a packet of the frame being sent may meet
};

// The packets of a run of `count` that are lost, in order: each independently with `rate`, or
// in runs of mean length `burstLength` that keep the overall rate at `rate`.
std::vector<std::int64_t> LosePackets(std::int64_t count, double rate, double burstLength,
                                      std::mt19937_64& random);

}  // namespace Orvel::detail
