// Typed GenApi nodes with all checks in one place, and the node map that holds them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "GenApi/Nodes.h"

namespace Orvel::detail {

// What nodes need to know about their device.
class NodeContext {
public:
    virtual bool IsOpen() const = 0;
    virtual bool IsGrabbing() const = 0;

protected:
    ~NodeContext() = default;
};

class NodeMap;

struct NodeTraits {
    std::string name;
    std::string description;
    GenApi::EAccessMode access = GenApi::RW;  // RW, RO or WO as the device describes it
    bool lockedWhileGrabbing = false;         // read by the acquisition: RO while grabbing
    bool unreadable = false;                  // writable ones become WO, others NA
    // For features available only in some states: the reason when not available, else null.
    std::function<const char*()> unavailable;
};

class NodeBase : public virtual GenApi::INode {
public:
    NodeBase(NodeMap& map, NodeTraits traits);
    ~NodeBase() override = default;
    NodeBase(const NodeBase&) = delete;
    NodeBase& operator=(const NodeBase&) = delete;

    GenApi::gcstring GetName() const override { return traits_.name; }
    GenApi::gcstring GetDescription() const override { return traits_.description; }
    GenApi::EAccessMode GetAccessMode() const override;
    GenApi::INodeMap* GetNodeMap() const override;
    GenApi::CallbackHandle RegisterCallback(GenApi::NodeCallback callback) override;
    bool DeregisterCallback(GenApi::CallbackHandle handle) override;

    const std::string& Name() const noexcept { return traits_.name; }

protected:
    // "[Name] " + text
    std::string Says(const std::string& text) const;
    void RequireOpen() const;
    void RequireReadable() const;
    void RequireWritable() const;
    // Calls the registered callbacks; after every successful write.
    void Written();

private:
    NodeMap& map_;
    NodeTraits traits_;
    std::vector<std::pair<GenApi::CallbackHandle, GenApi::NodeCallback>> callbacks_;
};

struct IntegerDef {
    std::int64_t min = 0;
    std::int64_t max = 0;
    std::int64_t inc = 1;
    std::vector<std::int64_t> validValues;  // when not empty, the only values accepted
    std::string unit;
    std::function<std::int64_t()> get;
    std::function<void(std::int64_t)> set;  // absent for read-only features
};

class IntegerNode final : public NodeBase, public GenApi::IInteger {
public:
    IntegerNode(NodeMap& map, NodeTraits traits, IntegerDef def);
    GenApi::EInterfaceType GetPrincipalInterfaceType() const override {
        return GenApi::intfIInteger;
    }
    GenApi::gcstring ToString(bool Verify = false, bool IgnoreCache = false) override;
    void FromString(const GenApi::gcstring& value, bool Verify = true) override;
    void SetValue(std::int64_t Value, bool Verify = true) override;
    std::int64_t GetValue(bool Verify = false, bool IgnoreCache = false) override;
    std::int64_t GetMin() override;
    std::int64_t GetMax() override;
    std::int64_t GetInc() override;
    std::vector<std::int64_t> GetValidValueSet() override;
    GenApi::gcstring GetUnit() const override { return def_.unit; }

private:
    void CheckValue(std::int64_t value) const;
    IntegerDef def_;
};

struct FloatDef {
    double min = 0;
    std::function<double()> max;  // may follow the device's configuration
    std::string unit;
    std::function<double()> get;
    std::function<void(double)> set;
};

class FloatNode final : public NodeBase, public GenApi::IFloat {
public:
    FloatNode(NodeMap& map, NodeTraits traits, FloatDef def);
    GenApi::EInterfaceType GetPrincipalInterfaceType() const override { return GenApi::intfIFloat; }
    GenApi::gcstring ToString(bool Verify = false, bool IgnoreCache = false) override;
    void FromString(const GenApi::gcstring& value, bool Verify = true) override;
    void SetValue(double Value, bool Verify = true) override;
    double GetValue(bool Verify = false, bool IgnoreCache = false) override;
    double GetMin() override;
    double GetMax() override;
    GenApi::gcstring GetUnit() const override { return def_.unit; }

private:
    FloatDef def_;
};

struct BooleanDef {
    std::function<bool()> get;
    std::function<void(bool)> set;
};

class BooleanNode final : public NodeBase, public GenApi::IBoolean {
public:
    BooleanNode(NodeMap& map, NodeTraits traits, BooleanDef def);
    GenApi::EInterfaceType GetPrincipalInterfaceType() const override {
        return GenApi::intfIBoolean;
    }
    GenApi::gcstring ToString(bool Verify = false, bool IgnoreCache = false) override;
    void FromString(const GenApi::gcstring& value, bool Verify = true) override;
    void SetValue(bool Value, bool Verify = true) override;
    bool GetValue(bool Verify = false, bool IgnoreCache = false) override;

private:
    BooleanDef def_;
};

struct EnumDef {
    std::vector<std::string> entries;
    std::function<std::size_t()> get;  // index into entries
    std::function<void(std::size_t)> set;
    // Why an entry cannot be set now (" in component mode 'X'"), or null when it can.
    std::function<const char*(std::size_t)> unavailable;
};

class EnumerationNode final : public NodeBase, public GenApi::IEnumeration {
public:
    EnumerationNode(NodeMap& map, NodeTraits traits, EnumDef def);
    GenApi::EInterfaceType GetPrincipalInterfaceType() const override {
        return GenApi::intfIEnumeration;
    }
    GenApi::gcstring ToString(bool Verify = false, bool IgnoreCache = false) override;
    void FromString(const GenApi::gcstring& value, bool Verify = true) override;
    void SetValue(const GenApi::gcstring& Symbolic, bool Verify = true) override;
    GenApi::gcstring GetValue(bool Verify = false, bool IgnoreCache = false) override;
    void GetSymbolics(GenApi::StringList_t& Symbolics) override;
    bool IsEntryAvailable(const GenApi::gcstring& Symbolic) override;

private:
    std::size_t IndexOf(const std::string& entry) const;  // entries.size() when absent
    EnumDef def_;
};

struct CommandDef {
    std::function<void()> execute;
};

class CommandNode final : public NodeBase, public GenApi::ICommand {
public:
    CommandNode(NodeMap& map, NodeTraits traits, CommandDef def);
    GenApi::EInterfaceType GetPrincipalInterfaceType() const override {
        return GenApi::intfICommand;
    }
    GenApi::gcstring ToString(bool Verify = false, bool IgnoreCache = false) override;
    void FromString(const GenApi::gcstring& value, bool Verify = true) override;
    void Execute(bool Verify = true) override;
    bool IsDone(bool Verify = true) override;

private:
    CommandDef def_;
};

class NodeMap final : public GenApi::INodeMap {
public:
    NodeMap(NodeContext& context, std::string deviceName);
    ~NodeMap() override = default;
    NodeMap(const NodeMap&) = delete;
    NodeMap& operator=(const NodeMap&) = delete;

    template <class Node, class Def>
    Node& Add(NodeTraits traits, Def def) {
        auto node = std::make_unique<Node>(*this, std::move(traits), std::move(def));
        Node& added = *node;
        byName_.emplace(added.Name(), node.get());
        nodes_.push_back(std::move(node));
        return added;
    }

    GenApi::INode* GetNode(const GenApi::gcstring& Name) const override;
    void GetNodes(std::vector<GenApi::INode*>& Nodes) const override;
    GenApi::gcstring GetDeviceName() const override { return deviceName_; }
    const NodeContext& Context() const noexcept { return context_; }

private:
    NodeContext& context_;
    std::string deviceName_;
    std::vector<std::unique_ptr<NodeBase>> nodes_;
    std::map<std::string, NodeBase*, std::less<>> byName_;
};

}  // namespace Orvel::detail
