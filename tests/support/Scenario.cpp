// Scenario texts with modelled processing for tests.
#include "Scenario.h"

#include <nlohmann/json.hpp>

namespace Tarnwell::test {

std::string ModelledScenario(const std::string& json) {
    nlohmann::json root =
        nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/true);
    if (!root.is_object()) {
        return json;
    }
    if (!root.contains("cameras")) {
        // The emulation's two default cameras, as the scenario would have had them.
        root["cameras"] =
            nlohmann::json::array({nlohmann::json::object(), nlohmann::json::object()});
    }
    nlohmann::json& cameras = root["cameras"];
    if (!cameras.is_array()) {
        return json;
    }
    for (nlohmann::json& camera : cameras) {
        if (camera.is_object() && !camera.contains("processing")) {
            camera["processing"] = "modelled";
        }
    }
    return root.dump();
}

std::string ModelledDefaultCameras() {
    return ModelledScenario("{}");
}

}  // namespace Tarnwell::test
