// Typed parameters of a camera's generated parameter set: one member per feature, bound to the
// camera's node when it is opened.
#pragma once

#include <cstdint>

#include "GenApi/Nodes.h"

namespace Orvel {

using GenICam::gcstring;

// Common part: the feature name and the node it is bound to. Using a parameter of a closed
// camera, or of a feature the camera does not have, raises GenICam::AccessException naming the
// feature; IsReadable/IsWritable/IsValid merely answer false.
class CParameter {
public:
    explicit CParameter(const char* name) noexcept : name_(name) {}
    const char* GetName() const noexcept { return name_; }
    // Binds to the node of this name in `map`; null detaches.
    void Attach(GenApi::INodeMap* map);
    bool IsAttached() const noexcept { return map_ != nullptr; }
    bool IsValid() const noexcept { return node_ != nullptr; }
    bool IsReadable() const;
    bool IsWritable() const;
    GenApi::INode* GetNode() const noexcept { return node_; }

protected:
    // The bound node as T, or an AccessException that says why there is none.
    template <class T>
    T& Require() const {
        if (T* typed = dynamic_cast<T*>(node_)) {
            return *typed;
        }
        RaiseUnusable();
    }

private:
    [[noreturn]] void RaiseUnusable() const;

    const char* name_;
    GenApi::INodeMap* map_ = nullptr;
    GenApi::INode* node_ = nullptr;
};

class CIntegerParameter : public CParameter {
public:
    using CParameter::CParameter;
    std::int64_t GetValue(bool verify = false, bool ignoreCache = false) const;
    void SetValue(std::int64_t value, bool verify = true);
    std::int64_t GetMin() const;
    std::int64_t GetMax() const;
    std::int64_t GetInc() const;
    gcstring GetUnit() const;
};

class CFloatParameter : public CParameter {
public:
    using CParameter::CParameter;
    double GetValue(bool verify = false, bool ignoreCache = false) const;
    void SetValue(double value, bool verify = true);
    double GetMin() const;
    double GetMax() const;
    gcstring GetUnit() const;
};

class CBooleanParameter : public CParameter {
public:
    using CParameter::CParameter;
    bool GetValue(bool verify = false, bool ignoreCache = false) const;
    void SetValue(bool value, bool verify = true);
};

class CEnumParameter : public CParameter {
public:
    using CParameter::CParameter;
    // The symbolic name of the current entry.
    gcstring GetValue(bool verify = false, bool ignoreCache = false) const;
    gcstring ToString() const { return GetValue(); }
    // Raises for an entry the feature does not have or cannot take at the moment.
    void SetValue(const gcstring& entry, bool verify = true);
    // Sets the entry when it can be set now and says whether it did; raises nothing for an
    // entry that is unknown or unavailable (but does for a closed camera or absent feature).
    bool TrySetValue(const gcstring& entry);
    bool CanSetValue(const gcstring& entry) const;
    void GetSymbolics(GenApi::StringList_t& symbolics) const;
};

class CCommandParameter : public CParameter {
public:
    using CParameter::CParameter;
    void Execute(bool verify = true);
    bool IsDone() const;
};

}  // namespace Orvel
