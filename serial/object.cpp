#include "object.h"

#include <ostream>

namespace pelorus {

const CRuntimeClass CObject::classCObject = {"CObject", nullptr, nullptr};

CObject* CRuntimeClass::CreateObject() const {
  return factory != nullptr ? factory() : nullptr;
}

bool CRuntimeClass::IsDerivedFrom(const CRuntimeClass* base) const {
  for (const CRuntimeClass* c = this; c != nullptr; c = c->baseClass) {
    if (c == base) {
      return true;
    }
  }
  return false;
}

const CRuntimeClass* CObject::GetRuntimeClass() const {
  return &classCObject;
}

void CObject::Serialize(std::iostream&) {}

void CObject::AssertValid() const {}

void CObject::Dump(std::ostream& out) const {
  out << "a " << GetRuntimeClass()->className << " at " << static_cast<const void*>(this) << '\n';
}

bool CObject::IsKindOf(const CRuntimeClass* runtimeClass) const {
  return GetRuntimeClass()->IsDerivedFrom(runtimeClass);
}

}  // namespace pelorus
