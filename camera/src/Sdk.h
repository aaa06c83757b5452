// The SDK's process-wide state: the start-up count, the transport providers and live objects.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "Orvel/Transport/Transport.h"

namespace Orvel::detail {

class Sdk {
public:
    static Sdk& Get();

    void Initialize();
    void Terminate();
    bool IsInitialized() const;
    // Raises GenICam::LogicalErrorException naming `call` when the SDK is not started.
    void RequireInitialized(const char* call) const;

    // The provider of `deviceClass`, or null.
    ITransportProvider* FindProvider(std::string_view deviceClass) const;
    std::vector<ITransportProvider*> Providers() const;

    void CountDevice(int delta) noexcept { devices_ += delta; }
    void CountInterface(int delta) noexcept { interfaces_ += delta; }

private:
    Sdk() = default;

    mutable std::mutex mutex_;
    int initCount_ = 0;
    std::vector<std::unique_ptr<ITransportProvider>> providers_;
    std::atomic<int> devices_{0};
    std::atomic<int> interfaces_{0};
};

}  // namespace Orvel::detail
