// The node model: named features of a node map and their typed views.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <type_traits>
#include <vector>

#include "GenICam/Exception.h"
#include "GenICam/GCString.h"

namespace GenApi {

using GenICam::gcstring;
using StringList_t = std::vector<gcstring>;

enum EAccessMode {
    NI,  // not implemented: the node is not there at all
    NA,  // not available at the moment
    WO,
    RO,
    RW,
};

enum EInterfaceType {
    intfIValue,
    intfIInteger,
    intfIBoolean,
    intfICommand,
    intfIFloat,
    intfIEnumeration,
};

class INodeMap;
class INode;

// Called after every successful write to a node, on the writing thread.
using NodeCallback = std::function<void(INode*)>;
using CallbackHandle = std::uint64_t;

class INode {
public:
    virtual gcstring GetName() const = 0;
    virtual gcstring GetDescription() const = 0;
    virtual EAccessMode GetAccessMode() const = 0;
    virtual EInterfaceType GetPrincipalInterfaceType() const = 0;
    virtual INodeMap* GetNodeMap() const = 0;
    virtual CallbackHandle RegisterCallback(NodeCallback callback) = 0;
    virtual bool DeregisterCallback(CallbackHandle handle) = 0;

protected:
    virtual ~INode() = default;
};

class IValue : virtual public INode {
public:
    virtual gcstring ToString(bool Verify = false, bool IgnoreCache = false) = 0;
    virtual void FromString(const gcstring& value, bool Verify = true) = 0;
};

// Every setter checks access and range before the device sees the value and raises an
// exception that names the feature; Verify additionally reads the value back.
class IInteger : virtual public IValue {
public:
    virtual void SetValue(std::int64_t Value, bool Verify = true) = 0;
    virtual std::int64_t GetValue(bool Verify = false, bool IgnoreCache = false) = 0;
    virtual std::int64_t GetMin() = 0;
    virtual std::int64_t GetMax() = 0;
    virtual std::int64_t GetInc() = 0;
    // Empty when the feature only accepts the values of GetMin..GetMax in steps of GetInc.
    virtual std::vector<std::int64_t> GetValidValueSet() = 0;
    virtual gcstring GetUnit() const = 0;
};

class IFloat : virtual public IValue {
public:
    virtual void SetValue(double Value, bool Verify = true) = 0;
    virtual double GetValue(bool Verify = false, bool IgnoreCache = false) = 0;
    virtual double GetMin() = 0;
    virtual double GetMax() = 0;
    virtual gcstring GetUnit() const = 0;
};

class IBoolean : virtual public IValue {
public:
    virtual void SetValue(bool Value, bool Verify = true) = 0;
    virtual bool GetValue(bool Verify = false, bool IgnoreCache = false) = 0;
};

class IEnumeration : virtual public IValue {
public:
    // Sets the entry of that symbolic name; raises for an unknown or unavailable entry.
    virtual void SetValue(const gcstring& Symbolic, bool Verify = true) = 0;
    virtual gcstring GetValue(bool Verify = false, bool IgnoreCache = false) = 0;
    // Every entry the feature has, whether or not it can be set at the moment.
    virtual void GetSymbolics(StringList_t& Symbolics) = 0;
    // Whether the entry exists and can be set at the moment.
    virtual bool IsEntryAvailable(const gcstring& Symbolic) = 0;
};

class ICommand : virtual public IValue {
public:
    virtual void Execute(bool Verify = true) = 0;
    virtual bool IsDone(bool Verify = true) = 0;
};

class INodeMap {
public:
    // The node of that name, or null when the map has none.
    virtual INode* GetNode(const gcstring& Name) const = 0;
    virtual void GetNodes(std::vector<INode*>& Nodes) const = 0;
    virtual gcstring GetDeviceName() const = 0;

protected:
    virtual ~INodeMap() = default;
};

// A typed view of a node: empty when the node is absent or of another type.
template <class T>
class CPointer {
public:
    CPointer() noexcept = default;
    CPointer(std::nullptr_t) noexcept {}
    CPointer(INode* node) : ptr_(dynamic_cast<T*>(node)) {}
    // For T = INode this would repeat the constructor above.
    CPointer(T* typed) noexcept requires(!std::is_same_v<T, INode>) : ptr_(typed) {}

    T* operator->() const {
        if (ptr_ == nullptr) {
            throw GenICam::LogicalErrorException("NULL pointer dereferenced", __FILE__, __LINE__);
        }
        return ptr_;
    }
    T& operator*() const { return *operator->(); }
    bool IsValid() const noexcept { return ptr_ != nullptr; }
    explicit operator bool() const noexcept { return IsValid(); }
    T* get() const noexcept { return ptr_; }

private:
    T* ptr_ = nullptr;
};

using CNodePtr = CPointer<INode>;
using CValuePtr = CPointer<IValue>;
using CIntegerPtr = CPointer<IInteger>;
using CFloatPtr = CPointer<IFloat>;
using CBooleanPtr = CPointer<IBoolean>;
using CEnumerationPtr = CPointer<IEnumeration>;
using CCommandPtr = CPointer<ICommand>;

inline bool IsReadable(EAccessMode mode) noexcept {
    return mode == RO || mode == RW;
}
inline bool IsWritable(EAccessMode mode) noexcept {
    return mode == WO || mode == RW;
}
inline bool IsAvailable(EAccessMode mode) noexcept {
    return mode != NA && mode != NI;
}
inline bool IsImplemented(EAccessMode mode) noexcept {
    return mode != NI;
}
inline bool IsReadable(const INode* node) {
    return node && IsReadable(node->GetAccessMode());
}
inline bool IsWritable(const INode* node) {
    return node && IsWritable(node->GetAccessMode());
}
inline bool IsAvailable(const INode* node) {
    return node && IsAvailable(node->GetAccessMode());
}
template <class T>
bool IsReadable(const CPointer<T>& p) {
    return p.IsValid() && IsReadable(p.get()->GetAccessMode());
}
template <class T>
bool IsWritable(const CPointer<T>& p) {
    return p.IsValid() && IsWritable(p.get()->GetAccessMode());
}

// Calls `callback` after every successful write to `node`.
inline CallbackHandle Register(INode* node, NodeCallback callback) {
    return CNodePtr(node)->RegisterCallback(std::move(callback));
}
inline bool Deregister(INode* node, CallbackHandle handle) {
    return CNodePtr(node)->DeregisterCallback(handle);
}

}  // namespace GenApi
