#include "AravisReceiver.h"

#include <stdexcept>

namespace Tarnwell::test {

namespace {

void Check(GError* error, const std::string& what) {
    if (error != nullptr) {
        const std::string message = what + ": " + error->message;
        g_error_free(error);
        throw std::runtime_error(message);
    }
}

}  // namespace

AravisDevice::AravisDevice(const std::string& address) {
    GInetAddress* local = g_inet_address_new_from_string("127.0.0.1");
    GInetAddress* remote = g_inet_address_new_from_string(address.c_str());
    if (remote == nullptr) {
        g_object_unref(local);
        throw std::runtime_error("not an address: " + address);
    }
    GError* error = nullptr;
    device_ = arv_gv_device_new(local, remote, &error);
    g_object_unref(local);
    g_object_unref(remote);
    Check(error, "arv_gv_device_new " + address);
}

AravisDevice::~AravisDevice() {
    StopStream();
    if (device_ != nullptr) {
        g_object_unref(device_);
    }
}

void AravisDevice::SetInteger(const char* feature, std::int64_t value) {
    GError* error = nullptr;
    arv_device_set_integer_feature_value(device_, feature, value, &error);
    Check(error, feature);
}

void AravisDevice::SetFloat(const char* feature, double value) {
    GError* error = nullptr;
    arv_device_set_float_feature_value(device_, feature, value, &error);
    Check(error, feature);
}

void AravisDevice::SetEnumeration(const char* feature, const char* entry) {
    GError* error = nullptr;
    arv_device_set_string_feature_value(device_, feature, entry, &error);
    Check(error, feature);
}

std::int64_t AravisDevice::GetInteger(const char* feature) {
    GError* error = nullptr;
    const std::int64_t value = arv_device_get_integer_feature_value(device_, feature, &error);
    Check(error, feature);
    return value;
}

void AravisDevice::Execute(const char* command) {
    GError* error = nullptr;
    arv_device_execute_command(device_, command, &error);
    Check(error, command);
}

void AravisDevice::StartStream(std::size_t bytes, std::size_t buffers) {
    GError* error = nullptr;
    stream_ = arv_device_create_stream(device_, nullptr, nullptr, &error);
    Check(error, "arv_device_create_stream");
    // As a GigE Vision SDK sizes it: Aravis's default holds a fraction of a frame.
    g_object_set(stream_, "socket-buffer", ARV_GV_STREAM_SOCKET_BUFFER_FIXED, "socket-buffer-size",
                 4 << 20, "packet-resend", ARV_GV_STREAM_PACKET_RESEND_ALWAYS, nullptr);
    for (std::size_t i = 0; i < buffers; ++i) {
        arv_stream_push_buffer(stream_, arv_buffer_new(bytes, nullptr));
    }
    SetInteger("TLParamsLocked", 1);
    Execute("AcquisitionStart");
}

ArvBuffer* AravisDevice::Pop(std::chrono::milliseconds timeout) {
    return arv_stream_timeout_pop_buffer(
        stream_, static_cast<guint64>(std::chrono::microseconds(timeout).count()));
}

void AravisDevice::Push(ArvBuffer* buffer) {
    arv_stream_push_buffer(stream_, buffer);
}

void AravisDevice::StopStream() {
    if (stream_ == nullptr) {
        return;
    }
    GError* error = nullptr;
    arv_device_execute_command(device_, "AcquisitionStop", &error);
    g_clear_error(&error);
    arv_device_set_integer_feature_value(device_, "TLParamsLocked", 0, &error);
    g_clear_error(&error);
    g_object_unref(stream_);
    stream_ = nullptr;
}

std::uint64_t AravisDevice::StreamInfo(const char* name) const {
    return arv_stream_get_info_uint64_by_name(stream_, name);
}

}  // namespace Tarnwell::test
