// The emulated link's packets: losses drawn per try, gaps noticed as GigE Vision receivers notice
// them, resends costing a request and the link's time.
#include "Link.h"

#include <algorithm>

namespace Orvel::detail {

std::vector<std::int64_t> LosePackets(std::int64_t count, double rate, double burstLength,
                                      std::mt19937_64& random) {
    std::vector<std::int64_t> lost;
    if (count <= 0 || !(rate > 0)) {
        return lost;
    }
    if (rate >= 1) {
        lost.resize(static_cast<std::size_t>(count));
        for (std::int64_t i = 0; i < count; ++i) {
            lost[static_cast<std::size_t>(i)] = i;
        }
        return lost;
    }
    if (burstLength <= 1) {
        // Independent losses: most frames lose nothing, and only then is no list needed.
        const std::int64_t chosen = std::binomial_distribution<std::int64_t>(count, rate)(random);
        for (std::int64_t i = 0; i < count && static_cast<std::int64_t>(lost.size()) < chosen;
             ++i) {
            const std::int64_t left = chosen - static_cast<std::int64_t>(lost.size());
            if (std::uniform_int_distribution<std::int64_t>(0, count - i - 1)(random) < left) {
                lost.push_back(i);
            }
        }
        return lost;
    }
    // Gilbert's two states: a run goes on with probability 1 − 1/B (mean length B), and one starts
    // after a received packet with the probability that keeps the overall rate.
    const double stay = 1 - 1 / burstLength;
    const double start = std::min(1.0, rate / (burstLength * (1 - rate)));
    std::geometric_distribution<std::int64_t> untilLoss(start);
    std::geometric_distribution<std::int64_t> longer(1 - stay);
    std::int64_t at = std::bernoulli_distribution(rate)(random) ? 0 : untilLoss(random);
    while (at < count) {
        const std::int64_t end = std::min(count, at + 1 + longer(random));
        for (; at < end; ++at) {
            lost.push_back(at);
        }
        at += untilLoss(random);
    }
    return lost;
}

double Link::Slot(double from) {
    const double t = link_.packetSeconds;
    double at = from;
    // Resends go first: a packet that would overlap one waits for it to end.
    for (; next_ < resends_.size(); ++next_) {
        const auto [begin, end] = resends_[next_];
        if (begin >= at + t) {
            break;
        }
        at = std::max(at, end);
    }
    return at + t;
}

void Link::Resend(double reach, std::size_t count, std::vector<double>& arrivals) {
    const double t = link_.packetSeconds;
    const double length = static_cast<double>(count) * t;
    // The first gap between the resends already planned that holds these, from `reach` on: a
    // request's place on the wire is its time, not the order it was planned in.
    double begin = reach;
    auto place = resends_.begin() + static_cast<std::ptrdiff_t>(next_);
    for (; place != resends_.end(); ++place) {
        if (begin + length <= place->first) {
            break;
        }
        begin = std::max(begin, place->second);
    }
    resends_.insert(place, {begin, begin + length});
    for (std::size_t i = 1; i <= count; ++i) {
        arrivals.push_back(begin + static_cast<double>(i) * t);
    }
}

double Link::SendUnasked(double readout) {
    Forget(readout);
    if (resends_.empty()) {
        return readout + static_cast<double>(link_.packets) * link_.packetSeconds;
    }
    double end = readout;
    for (std::int64_t i = 0; i < link_.packets; ++i) {
        end = Slot(end);
    }
    return end;
}

void Link::Forget(double before) {
    // Resends that ended before `before` hold nothing up any more.
    const auto past = std::find_if(resends_.begin(), resends_.end(),
                                   [before](const auto& resend) { return resend.second > before; });
    resends_.erase(resends_.begin(), past);
    next_ = 0;
}

Transmission Link::Send(double readout, std::mt19937_64& random) {
    const std::int64_t n = link_.packets;
    Transmission sent;
    const std::vector<std::int64_t> first =
        LosePackets(n, link_.lossRate, link_.burstLength, random);
    if (first.empty()) {
        sent.readoutEnd = SendUnasked(readout);
        sent.arrival = sent.readoutEnd;
        return sent;
    }
    Forget(readout);
    std::vector<bool> missing(static_cast<std::size_t>(n), false);
    for (const std::int64_t id : first) {
        missing[static_cast<std::size_t>(id)] = true;
    }
    // The frame's own packets in order; a run of lost ones is noticed, and asked for, when the
    // packet after it arrives.
    std::vector<double> resentArrivals;  // round 1, in the order of `first`
    double end = readout;
    double lastArrived = -1;
    std::size_t run = 0;  // lost packets just before the current one
    for (std::int64_t id = 0; id < n; ++id) {
        end = Slot(end);
        if (missing[static_cast<std::size_t>(id)]) {
            ++run;
            continue;
        }
        lastArrived = end;
        if (run > 0) {
            Resend(end + link_.requestSeconds, run, resentArrivals);
            ++sent.requested;
            run = 0;
        }
    }
    sent.readoutEnd = end;
    if (run > 0) {
        // The frame's end was lost: noticed a time-out after the last packet that came.
        const double noticed = std::max(lastArrived, end) + link_.packetTimeout;
        Resend(noticed + link_.requestSeconds, run, resentArrivals);
        ++sent.requested;
    }
    double whole = lastArrived;

    // Round 2: a resent packet that does not come is noticed a time-out after it was due.
    const std::vector<std::int64_t> again = LosePackets(static_cast<std::int64_t>(first.size()),
                                                        link_.lossRate, link_.burstLength, random);
    std::vector<bool> lostAgain(first.size(), false);
    for (const std::int64_t i : again) {
        lostAgain[static_cast<std::size_t>(i)] = true;
    }
    std::vector<std::size_t> second;  // indices into `first`
    for (std::size_t i = 0; i < first.size(); ++i) {
        if (lostAgain[i]) {
            second.push_back(i);
        } else {
            whole = std::max(whole, resentArrivals[i]);
        }
    }
    std::vector<double> secondArrivals;
    std::vector<double> secondDue;
    for (std::size_t i = 0; i < second.size();) {
        std::size_t j = i + 1;
        while (j < second.size() && first[second[j]] == first[second[j - 1]] + 1) {
            ++j;
        }
        const double noticed = resentArrivals[second[j - 1]] + link_.packetTimeout;
        Resend(noticed + link_.requestSeconds, j - i, secondArrivals);
        ++sent.requested;
        i = j;
    }
    const std::vector<std::int64_t> last = LosePackets(static_cast<std::int64_t>(second.size()),
                                                       link_.lossRate, link_.burstLength, random);
    double givenUp = 0;
    for (std::size_t i = 0, j = 0; i < secondArrivals.size(); ++i) {
        if (j < last.size() && last[j] == static_cast<std::int64_t>(i)) {
            ++j;
            givenUp = std::max(givenUp, secondArrivals[i] + link_.packetTimeout);
        } else {
            whole = std::max(whole, secondArrivals[i]);
        }
    }
    sent.lost = static_cast<std::int64_t>(last.size());
    sent.resent = static_cast<std::int64_t>(first.size() + second.size());
    sent.recovered = static_cast<std::int64_t>(first.size()) - sent.lost;
    sent.arrival = sent.lost > 0 ? std::max(whole, givenUp) : std::max(whole, sent.readoutEnd);
    return sent;
}

}  // namespace Orvel::detail
