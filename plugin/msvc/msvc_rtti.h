// The run-time type information a Visual Studio host's runtime reads in front
// of the object's table (32-bit layout, absolute pointers): dynamic_cast and
// typeid take the complete-object locator from the word before the table's
// first slot, and from it the class CQRVAccessPlugin with its single line of
// bases IAccess, IDataPacket and IModule, each at offset 0.
//
//   locator (20 bytes)    signature 0, offset 0, cdOffset 0, type, hierarchy
//   type descriptor       type_info's table, a word the runtime fills with the
//                         readable name it made, the decorated name (".?AV...@@")
//   hierarchy (16 bytes)  signature 0, attributes 0 (single, non-virtual
//                         inheritance), number of classes, base array
//   base array            the class itself, then its bases, nearest first
//   base class (28 bytes) type, classes below it, where (member displacement
//                         0, no virtual base: -1, 0), attributes (0x40: its own
//                         hierarchy follows), hierarchy
#pragma once

#include <cstddef>
#include <cstdint>

namespace qrv::plugin::msvc {

struct MsvcTypeDescriptor {
  const void* typeInfoTable;
  void* readableName;  // the host's runtime caches type_info::name() here
  char decoratedName[24];
};

struct MsvcClassHierarchy;

struct MsvcBaseClass {
  MsvcTypeDescriptor* type;
  uint32_t containedBases;
  int32_t memberDisplacement;
  int32_t vbtableDisplacement;  // -1: not a virtual base
  int32_t vbaseDisplacement;
  uint32_t attributes;
  const MsvcClassHierarchy* hierarchy;
};

struct MsvcClassHierarchy {
  uint32_t signature;
  uint32_t attributes;
  uint32_t baseCount;  // the class itself included
  const MsvcBaseClass* const* bases;
};

struct MsvcObjectLocator {
  uint32_t signature;
  uint32_t offset;  // of this table's pointer in the complete object
  uint32_t constructorDisplacement;
  MsvcTypeDescriptor* type;
  const MsvcClassHierarchy* hierarchy;
};

#if defined(__i386__)
static_assert(sizeof(MsvcObjectLocator) == 20);
static_assert(sizeof(MsvcClassHierarchy) == 16);
static_assert(sizeof(MsvcBaseClass) == 28);
static_assert(offsetof(MsvcTypeDescriptor, decoratedName) == 8);
#endif

// The locator of CQRVAccessPlugin objects.
extern const MsvcObjectLocator kPluginObjectLocator;

// Gives the locator's type descriptors the table of the process's Visual
// Studio runtime's type_info objects (or a stand-in where none is loaded).
// Any thread; the work is done once.
void CompletePluginTypeInformation();

}  // namespace qrv::plugin::msvc
