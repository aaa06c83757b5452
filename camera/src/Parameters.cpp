// Generated camera parameters: typed members bound by name to the open camera's nodes.
#include "Orvel/Parameters.h"

#include <string>

#include "Orvel/Transport/Errors.h"

namespace Orvel {

void CParameter::Attach(GenApi::INodeMap* map) {
    map_ = map;
    node_ = map ? map->GetNode(name_) : nullptr;
}

bool CParameter::IsReadable() const {
    return GenApi::IsReadable(node_);
}

bool CParameter::IsWritable() const {
    return GenApi::IsWritable(node_);
}

void CParameter::RaiseUnusable() const {
    const std::string prefix = std::string("[") + name_ + "] ";
    if (map_ == nullptr) {
        ORVEL_THROW(AccessException, prefix + "cannot be used: the camera is not open");
    }
    if (node_ == nullptr) {
        ORVEL_THROW(AccessException, prefix + "the camera has no such feature");
    }
    ORVEL_THROW(AccessException, prefix + "is a feature of another type");
}

std::int64_t CIntegerParameter::GetValue(bool verify, bool ignoreCache) const {
    return Require<GenApi::IInteger>().GetValue(verify, ignoreCache);
}
void CIntegerParameter::SetValue(std::int64_t value, bool verify) {
    Require<GenApi::IInteger>().SetValue(value, verify);
}
std::int64_t CIntegerParameter::GetMin() const {
    return Require<GenApi::IInteger>().GetMin();
}
std::int64_t CIntegerParameter::GetMax() const {
    return Require<GenApi::IInteger>().GetMax();
}
std::int64_t CIntegerParameter::GetInc() const {
    return Require<GenApi::IInteger>().GetInc();
}
gcstring CIntegerParameter::GetUnit() const {
    return Require<GenApi::IInteger>().GetUnit();
}

double CFloatParameter::GetValue(bool verify, bool ignoreCache) const {
    return Require<GenApi::IFloat>().GetValue(verify, ignoreCache);
}
void CFloatParameter::SetValue(double value, bool verify) {
    Require<GenApi::IFloat>().SetValue(value, verify);
}
double CFloatParameter::GetMin() const {
    return Require<GenApi::IFloat>().GetMin();
}
double CFloatParameter::GetMax() const {
    return Require<GenApi::IFloat>().GetMax();
}
gcstring CFloatParameter::GetUnit() const {
    return Require<GenApi::IFloat>().GetUnit();
}

bool CBooleanParameter::GetValue(bool verify, bool ignoreCache) const {
    return Require<GenApi::IBoolean>().GetValue(verify, ignoreCache);
}
void CBooleanParameter::SetValue(bool value, bool verify) {
    Require<GenApi::IBoolean>().SetValue(value, verify);
}

gcstring CEnumParameter::GetValue(bool verify, bool ignoreCache) const {
    return Require<GenApi::IEnumeration>().GetValue(verify, ignoreCache);
}
void CEnumParameter::SetValue(const gcstring& entry, bool verify) {
    Require<GenApi::IEnumeration>().SetValue(entry, verify);
}
bool CEnumParameter::TrySetValue(const gcstring& entry) {
    if (!CanSetValue(entry)) {
        return false;
    }
    Require<GenApi::IEnumeration>().SetValue(entry, true);
    return true;
}
bool CEnumParameter::CanSetValue(const gcstring& entry) const {
    GenApi::IEnumeration& feature = Require<GenApi::IEnumeration>();
    return IsWritable() && feature.IsEntryAvailable(entry);
}
void CEnumParameter::GetSymbolics(GenApi::StringList_t& symbolics) const {
    Require<GenApi::IEnumeration>().GetSymbolics(symbolics);
}

void CCommandParameter::Execute(bool verify) {
    Require<GenApi::ICommand>().Execute(verify);
}
bool CCommandParameter::IsDone() const {
    return Require<GenApi::ICommand>().IsDone();
}

}  // namespace Orvel
