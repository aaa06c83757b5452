// SDK start-up and shut-down, the fatal-misuse exit and the shared number formatting.
#include "Sdk.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "Orvel/Platform.h"
#include "Orvel/Transport/Errors.h"
#include "Registry.h"

namespace Orvel {
namespace detail {

void Fatal(const std::string& text) noexcept {
    std::fprintf(stderr, "Orvel: fatal: %s\n", text.c_str());
    std::fflush(stderr);
    std::abort();
}

std::string FormatNumber(double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value > 0 ? "inf" : "-inf";
    }
    char text[64];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc{} ? std::string(text, end) : std::to_string(value);
}

Sdk& Sdk::Get() {
    static Sdk sdk;
    return sdk;
}

void Sdk::Initialize() {
    std::lock_guard lock(mutex_);
    if (initCount_ > 0) {
        ++initCount_;
        return;
    }
    std::vector<std::unique_ptr<ITransportProvider>> started;
    try {
        for (const ProviderFactory make : ProviderTable()) {
            auto provider = make();
            const bool served = std::any_of(started.begin(), started.end(), [&](const auto& on) {
                return std::string_view(on->DeviceClass()) == provider->DeviceClass() &&
                       on->TransportLayer() != nullptr;
            });
            if (served) {
                continue;  // an earlier provider serves the class; this one stays off
            }
            provider->Start();
            started.push_back(std::move(provider));
        }
    } catch (...) {
        for (auto& provider : started) {
            provider->Stop();
        }
        throw;
    }
    providers_ = std::move(started);
    initCount_ = 1;
}

void Sdk::Terminate() {
    std::lock_guard lock(mutex_);
    if (initCount_ == 0 || --initCount_ > 0) {
        return;
    }
    const int devices = devices_.load();
    const int interfaces = interfaces_.load();
    if (devices > 0 || interfaces > 0) {
        Fatal("OrvelTerminate ended the SDK while " + std::to_string(devices) + " device(s) and " +
              std::to_string(interfaces) +
              " interface(s) still exist; destroy cameras, devices and interfaces first.");
    }
    for (auto& provider : providers_) {
        provider->Stop();
    }
    providers_.clear();
}

bool Sdk::IsInitialized() const {
    std::lock_guard lock(mutex_);
    return initCount_ > 0;
}

void Sdk::RequireInitialized(const char* call) const {
    if (!IsInitialized()) {
        ORVEL_THROW(
            LogicalErrorException,
            std::string(call) + ": the SDK is not initialised; call OrvelInitialize first.");
    }
}

ITransportProvider* Sdk::FindProvider(std::string_view deviceClass) const {
    std::lock_guard lock(mutex_);
    ITransportProvider* found = nullptr;
    for (const auto& provider : providers_) {
        if (deviceClass == provider->DeviceClass()) {
            if (provider->TransportLayer() != nullptr) {
                return provider.get();  // the one that is on
            }
            found = found != nullptr ? found : provider.get();
        }
    }
    return found;
}

std::vector<ITransportProvider*> Sdk::Providers() const {
    std::lock_guard lock(mutex_);
    std::vector<ITransportProvider*> list;
    for (const auto& provider : providers_) {
        list.push_back(provider.get());
    }
    return list;
}

}  // namespace detail

void OrvelInitialize() {
    detail::Sdk::Get().Initialize();
}

void OrvelTerminate(bool /*ShutDownLogging*/) {
    detail::Sdk::Get().Terminate();
}

}  // namespace Orvel
