// A GigE Vision host made of Aravis alone, for the tests and the benchmark of tarnwell-camera:
// opens a device by address (no discovery), sets its features, and receives its stream.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include <arv.h>

namespace Tarnwell::test {

class AravisDevice {
public:
    // Opens the device at `address` over loopback, taking control. Raises std::runtime_error.
    explicit AravisDevice(const std::string& address);
    ~AravisDevice();
    AravisDevice(const AravisDevice&) = delete;
    AravisDevice& operator=(const AravisDevice&) = delete;

    ArvDevice* Device() const { return device_; }
    ArvGc* Genicam() const { return arv_device_get_genicam(device_); }
    // Raise std::runtime_error with Aravis's message.
    void SetInteger(const char* feature, std::int64_t value);
    void SetFloat(const char* feature, double value);
    void SetEnumeration(const char* feature, const char* entry);
    std::int64_t GetInteger(const char* feature);
    void Execute(const char* command);

    // Creates the stream with `buffers` buffers of `bytes`, a 4 MiB socket buffer and resends
    // asked for, locks the parameters and starts the acquisition.
    void StartStream(std::size_t bytes, std::size_t buffers = 8);
    // The next buffer, null when none came in time; give it back with Push.
    ArvBuffer* Pop(std::chrono::milliseconds timeout);
    void Push(ArvBuffer* buffer);
    void StopStream();
    // A statistic of the stream (n_resend_requests, n_received_packets, …).
    std::uint64_t StreamInfo(const char* name) const;

private:
    ArvDevice* device_ = nullptr;
    ArvStream* stream_ = nullptr;
};

}  // namespace Tarnwell::test
