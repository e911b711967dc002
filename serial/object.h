#pragma once

#include <iosfwd>

namespace pelorus {

class CObject;

// Run-time class information: a class's name, its base and a factory for a default object.
// One constant instance per class; classes are compared by address.
struct CRuntimeClass {
  const char* className;
  const CRuntimeClass* baseClass;  // null for the root
  CObject* (*factory)();           // null for classes that cannot be created by name

  // A new default object of this class (owned by the caller), or null without a factory.
  CObject* CreateObject() const;
  // True when this class is base or derives from it.
  bool IsDerivedFrom(const CRuntimeClass* base) const;
};

// The root of the port objects: run-time class query, serialising, validity check and dump.
// The order of the virtual operations is fixed; derived classes add none of their own.
class CObject {
 public:
  static const CRuntimeClass classCObject;

  CObject() = default;
  CObject(const CObject&) = delete;
  CObject& operator=(const CObject&) = delete;

  virtual const CRuntimeClass* GetRuntimeClass() const;
  virtual ~CObject() = default;
  // Writes or reads the object's persistent state; the root has none.
  virtual void Serialize(std::iostream& archive);
  // Checks the object's invariants (debug builds); the root has none.
  virtual void AssertValid() const;
  // Writes a one-line description for diagnostics: class name and address.
  virtual void Dump(std::ostream& out) const;

  // True when the object's class is runtimeClass or derives from it.
  bool IsKindOf(const CRuntimeClass* runtimeClass) const;
};

}  // namespace pelorus
