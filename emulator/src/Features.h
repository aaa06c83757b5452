// The features of an emulated Velkor XW camera, described once: what the node map is built from,
// what scenarios may name as missing or unreadable, and what they may set as power-on values.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <vector>

#include "GenApi/Nodes.h"
#include "Orvel/Transport/NodeMap.h"

namespace Orvel::detail {

class Acquisition;
struct CameraConfig;
struct Settings;

// What a feature's node reads and writes: the camera's own state.
struct FeatureState {
    const CameraConfig& config;
    Settings& settings;
    Acquisition& acquisition;
};

enum class FeatureKind { Integer, Float, Boolean, Enumeration, Command };

struct Feature {
    const char* name;
    FeatureKind kind;
    GenApi::EAccessMode access;  // as the camera describes it; the node map narrows it by state
    bool lockedWhileGrabbing;    // read by the acquisition: read-only while the camera grabs
    // Where its write falls among the power-on values (0: not one of them). ComponentEnable
    // goes before ComponentSelector, so that the selector given stays.
    int powerOnOrder;
    const char* description;
    // Adds the feature's node, its range and unit, bound to `state`.
    std::function<void(NodeMap& nodes, NodeTraits traits, FeatureState& state)> add;
};

// Every feature in the node map's order, the seven counters last.
const std::vector<Feature>& Features();
// Null for a name that is no feature.
const Feature* FindFeature(std::string_view name);

}  // namespace Orvel::detail
