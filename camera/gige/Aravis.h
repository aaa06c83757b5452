// Owning Aravis's GObjects and GErrors the C++ way.
#pragma once

#include <memory>
#include <string>

#include <arv.h>

namespace Orvel::detail {

struct GObjectRelease {
    void operator()(void* object) const noexcept {
        if (object != nullptr) {
            g_object_unref(object);
        }
    }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectRelease>;

// An out-parameter for Aravis's calls; freed when it goes.
class GErrorSlot {
public:
    GErrorSlot() = default;
    ~GErrorSlot() { Clear(); }
    GErrorSlot(const GErrorSlot&) = delete;
    GErrorSlot& operator=(const GErrorSlot&) = delete;

    GError** Out() {
        Clear();
        return &error_;
    }
    explicit operator bool() const { return error_ != nullptr; }
    std::string Text() const {
        return error_ != nullptr && error_->message != nullptr ? error_->message : "unknown error";
    }
    void Clear() {
        if (error_ != nullptr) {
            g_error_free(error_);
            error_ = nullptr;
        }
    }

private:
    GError* error_ = nullptr;
};

}  // namespace Orvel::detail
