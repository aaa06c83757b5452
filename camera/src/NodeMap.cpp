// The node model's checks: access, range, increment, valid values and entries, then the store.
#include "Orvel/Transport/NodeMap.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <system_error>

#include "Orvel/Transport/Errors.h"

namespace Orvel::detail {

using GenApi::EAccessMode;
using GenApi::gcstring;

namespace {

std::atomic<GenApi::CallbackHandle> nextCallbackHandle{1};

std::string Join(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

}  // namespace

// ---- NodeBase ----

NodeBase::NodeBase(NodeMap& map, NodeTraits traits) : map_(map), traits_(std::move(traits)) {}

EAccessMode NodeBase::GetAccessMode() const {
    const NodeContext& context = map_.Context();
    if (!context.IsOpen()) {
        return GenApi::NA;
    }
    if (traits_.unavailable && traits_.unavailable() != nullptr) {
        return GenApi::NA;
    }
    EAccessMode mode = traits_.access;
    if (traits_.unreadable) {
        mode = GenApi::IsWritable(mode) ? GenApi::WO : GenApi::NA;
    }
    if (traits_.lockedWhileGrabbing && context.IsGrabbing()) {
        mode = mode == GenApi::RW ? GenApi::RO : mode == GenApi::WO ? GenApi::NA : mode;
    }
    return mode;
}

GenApi::INodeMap* NodeBase::GetNodeMap() const {
    return &map_;
}

GenApi::CallbackHandle NodeBase::RegisterCallback(GenApi::NodeCallback callback) {
    const GenApi::CallbackHandle handle = nextCallbackHandle++;
    callbacks_.emplace_back(handle, std::move(callback));
    return handle;
}

bool NodeBase::DeregisterCallback(GenApi::CallbackHandle handle) {
    auto it = std::find_if(callbacks_.begin(), callbacks_.end(),
                           [handle](const auto& entry) { return entry.first == handle; });
    if (it == callbacks_.end()) {
        return false;
    }
    callbacks_.erase(it);
    return true;
}

std::string NodeBase::Says(const std::string& text) const {
    return "[" + traits_.name + "] " + text;
}

void NodeBase::RequireOpen() const {
    if (!map_.Context().IsOpen()) {
        ORVEL_THROW(AccessException, Says("cannot be used: the camera is not open"));
    }
}

void NodeBase::RequireReadable() const {
    RequireOpen();
    if (!GenApi::IsReadable(GetAccessMode())) {
        ORVEL_THROW(AccessException, Says("not readable"));
    }
}

void NodeBase::RequireWritable() const {
    RequireOpen();
    if (GenApi::IsWritable(GetAccessMode())) {
        return;
    }
    if (traits_.unavailable) {
        if (const char* reason = traits_.unavailable()) {
            ORVEL_THROW(AccessException, Says(std::string("not available: ") + reason));
        }
    }
    if (traits_.lockedWhileGrabbing && GenApi::IsWritable(traits_.access) &&
        map_.Context().IsGrabbing()) {
        ORVEL_THROW(AccessException, Says("not writable while the camera is grabbing"));
    }
    ORVEL_THROW(AccessException, Says("not writable"));
}

void NodeBase::Written() {
    if (callbacks_.empty()) {
        return;
    }
    // A callback may register or deregister callbacks.
    const auto callbacks = callbacks_;
    for (const auto& entry : callbacks) {
        entry.second(this);
    }
}

// ---- IntegerNode ----

IntegerNode::IntegerNode(NodeMap& map, NodeTraits traits, IntegerDef def)
    : NodeBase(map, std::move(traits)), def_(std::move(def)) {}

gcstring IntegerNode::ToString(bool Verify, bool IgnoreCache) {
    return std::to_string(GetValue(Verify, IgnoreCache));
}

void IntegerNode::FromString(const gcstring& value, bool Verify) {
    const std::string& text = value.str();
    std::int64_t parsed = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (ec != std::errc{} || end != text.data() + text.size()) {
        ORVEL_THROW(InvalidArgumentException, Says("'" + text + "' is not an integer"));
    }
    SetValue(parsed, Verify);
}

void IntegerNode::CheckValue(std::int64_t value) const {
    if (!def_.validValues.empty()) {
        if (std::find(def_.validValues.begin(), def_.validValues.end(), value) ==
            def_.validValues.end()) {
            std::vector<std::string> valid;
            for (std::int64_t v : def_.validValues) {
                valid.push_back(std::to_string(v));
            }
            ORVEL_THROW(OutOfRangeException,
                        Says("value " + std::to_string(value) + " not one of " + Join(valid)));
        }
        return;
    }
    if (value < def_.min) {
        ORVEL_THROW(OutOfRangeException, Says("value " + std::to_string(value) + " below minimum " +
                                              std::to_string(def_.min)));
    }
    if (value > def_.max) {
        ORVEL_THROW(OutOfRangeException, Says("value " + std::to_string(value) + " above maximum " +
                                              std::to_string(def_.max)));
    }
    if (def_.inc > 1 && (value - def_.min) % def_.inc != 0) {
        ORVEL_THROW(OutOfRangeException,
                    Says("value " + std::to_string(value) + " not on increment " +
                         std::to_string(def_.inc) + " from minimum " + std::to_string(def_.min)));
    }
}

void IntegerNode::SetValue(std::int64_t Value, bool Verify) {
    RequireWritable();
    CheckValue(Value);
    def_.set(Value);
    if (Verify && def_.get() != Value) {
        ORVEL_THROW(RuntimeException, Says("verification failed: wrote " + std::to_string(Value) +
                                           ", read back " + std::to_string(def_.get())));
    }
    Written();
}

std::int64_t IntegerNode::GetValue(bool /*Verify*/, bool /*IgnoreCache*/) {
    RequireReadable();
    return def_.get();
}

std::int64_t IntegerNode::GetMin() {
    RequireOpen();
    return def_.min;
}

std::int64_t IntegerNode::GetMax() {
    RequireOpen();
    return def_.max;
}

std::int64_t IntegerNode::GetInc() {
    RequireOpen();
    return def_.inc;
}

std::vector<std::int64_t> IntegerNode::GetValidValueSet() {
    RequireOpen();
    return def_.validValues;
}

// ---- FloatNode ----

FloatNode::FloatNode(NodeMap& map, NodeTraits traits, FloatDef def)
    : NodeBase(map, std::move(traits)), def_(std::move(def)) {}

gcstring FloatNode::ToString(bool Verify, bool IgnoreCache) {
    return FormatNumber(GetValue(Verify, IgnoreCache));
}

void FloatNode::FromString(const gcstring& value, bool Verify) {
    const std::string& text = value.str();
    double parsed = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (ec != std::errc{} || end != text.data() + text.size()) {
        ORVEL_THROW(InvalidArgumentException, Says("'" + text + "' is not a number"));
    }
    SetValue(parsed, Verify);
}

void FloatNode::SetValue(double Value, bool Verify) {
    RequireWritable();
    if (std::isnan(Value)) {
        ORVEL_THROW(InvalidArgumentException, Says("value nan is not a number"));
    }
    const double max = def_.max();
    if (Value < def_.min) {
        ORVEL_THROW(OutOfRangeException, Says("value " + FormatNumber(Value) + " below minimum " +
                                              FormatNumber(def_.min)));
    }
    if (Value > max) {
        ORVEL_THROW(OutOfRangeException,
                    Says("value " + FormatNumber(Value) + " above maximum " + FormatNumber(max)));
    }
    def_.set(Value);
    if (Verify && def_.get() != Value) {
        ORVEL_THROW(RuntimeException, Says("verification failed: wrote " + FormatNumber(Value) +
                                           ", read back " + FormatNumber(def_.get())));
    }
    Written();
}

double FloatNode::GetValue(bool /*Verify*/, bool /*IgnoreCache*/) {
    RequireReadable();
    return def_.get();
}

double FloatNode::GetMin() {
    RequireOpen();
    return def_.min;
}

double FloatNode::GetMax() {
    RequireOpen();
    return def_.max();
}

// ---- BooleanNode ----

BooleanNode::BooleanNode(NodeMap& map, NodeTraits traits, BooleanDef def)
    : NodeBase(map, std::move(traits)), def_(std::move(def)) {}

gcstring BooleanNode::ToString(bool Verify, bool IgnoreCache) {
    return GetValue(Verify, IgnoreCache) ? "true" : "false";
}

void BooleanNode::FromString(const gcstring& value, bool Verify) {
    const std::string& text = value.str();
    if (text == "true" || text == "1") {
        SetValue(true, Verify);
    } else if (text == "false" || text == "0") {
        SetValue(false, Verify);
    } else {
        ORVEL_THROW(InvalidArgumentException, Says("'" + text + "' is not a boolean"));
    }
}

void BooleanNode::SetValue(bool Value, bool Verify) {
    RequireWritable();
    def_.set(Value);
    if (Verify && def_.get() != Value) {
        ORVEL_THROW(RuntimeException,
                    Says(std::string("verification failed: wrote ") + (Value ? "true" : "false")));
    }
    Written();
}

bool BooleanNode::GetValue(bool /*Verify*/, bool /*IgnoreCache*/) {
    RequireReadable();
    return def_.get();
}

// ---- EnumerationNode ----

EnumerationNode::EnumerationNode(NodeMap& map, NodeTraits traits, EnumDef def)
    : NodeBase(map, std::move(traits)), def_(std::move(def)) {}

std::size_t EnumerationNode::IndexOf(const std::string& entry) const {
    return static_cast<std::size_t>(std::find(def_.entries.begin(), def_.entries.end(), entry) -
                                    def_.entries.begin());
}

gcstring EnumerationNode::ToString(bool Verify, bool IgnoreCache) {
    return GetValue(Verify, IgnoreCache);
}

void EnumerationNode::FromString(const gcstring& value, bool Verify) {
    SetValue(value, Verify);
}

void EnumerationNode::SetValue(const gcstring& Symbolic, bool Verify) {
    RequireWritable();
    const std::size_t index = IndexOf(Symbolic.str());
    if (index == def_.entries.size()) {
        ORVEL_THROW(InvalidArgumentException,
                    Says("no entry '" + Symbolic.str() + "'; entries: " + Join(def_.entries)));
    }
    if (def_.unavailable) {
        if (const char* reason = def_.unavailable(index)) {
            ORVEL_THROW(AccessException,
                        Says("entry '" + Symbolic.str() + "' not available" + reason));
        }
    }
    def_.set(index);
    if (Verify && def_.get() != index) {
        ORVEL_THROW(RuntimeException, Says("verification failed: wrote " + Symbolic.str() +
                                           ", read back " + def_.entries[def_.get()]));
    }
    Written();
}

gcstring EnumerationNode::GetValue(bool /*Verify*/, bool /*IgnoreCache*/) {
    RequireReadable();
    return def_.entries[def_.get()];
}

void EnumerationNode::GetSymbolics(GenApi::StringList_t& Symbolics) {
    RequireOpen();
    Symbolics.assign(def_.entries.begin(), def_.entries.end());
}

bool EnumerationNode::IsEntryAvailable(const gcstring& Symbolic) {
    const std::size_t index = IndexOf(Symbolic.str());
    return index < def_.entries.size() && (!def_.unavailable || def_.unavailable(index) == nullptr);
}

// ---- CommandNode ----

CommandNode::CommandNode(NodeMap& map, NodeTraits traits, CommandDef def)
    : NodeBase(map, std::move(traits)), def_(std::move(def)) {}

gcstring CommandNode::ToString(bool /*Verify*/, bool /*IgnoreCache*/) {
    RequireReadable();
    return {};
}

void CommandNode::FromString(const gcstring& /*value*/, bool /*Verify*/) {
    ORVEL_THROW(InvalidArgumentException, Says("is a command and takes no value; use Execute"));
}

void CommandNode::Execute(bool /*Verify*/) {
    RequireWritable();
    def_.execute();
    Written();
}

// Commands take effect when executed; there is nothing left to wait for.
bool CommandNode::IsDone(bool /*Verify*/) {
    RequireOpen();
    return true;
}

// ---- NodeMap ----

NodeMap::NodeMap(NodeContext& context, std::string deviceName)
    : context_(context), deviceName_(std::move(deviceName)) {}

GenApi::INode* NodeMap::GetNode(const gcstring& Name) const {
    auto it = byName_.find(Name.str());
    return it == byName_.end() ? nullptr : it->second;
}

void NodeMap::GetNodes(std::vector<GenApi::INode*>& Nodes) const {
    Nodes.clear();
    for (const auto& node : nodes_) {
        Nodes.push_back(node.get());
    }
}

}  // namespace Orvel::detail
