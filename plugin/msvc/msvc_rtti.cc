#include "plugin/msvc/msvc_rtti.h"

#include "platform/callconv.h"
#include "platform/host_type_info.h"

namespace qrv::plugin::msvc {

namespace {

constexpr uint32_t kHasHierarchy = 0x40;

// The classes from the most derived down, as the host's compiler names them.
MsvcTypeDescriptor g_types[] = {
    {nullptr, nullptr, ".?AVCQRVAccessPlugin@@"},
    {nullptr, nullptr, ".?AVIAccess@@"},
    {nullptr, nullptr, ".?AVIDataPacket@@"},
    {nullptr, nullptr, ".?AVIModule@@"},
};
constexpr uint32_t kClasses = 4;

extern const MsvcClassHierarchy kHierarchies[kClasses];

const MsvcBaseClass kBaseClasses[kClasses] = {
    {&g_types[0], 3, 0, -1, 0, kHasHierarchy, &kHierarchies[0]},
    {&g_types[1], 2, 0, -1, 0, kHasHierarchy, &kHierarchies[1]},
    {&g_types[2], 1, 0, -1, 0, kHasHierarchy, &kHierarchies[2]},
    {&g_types[3], 0, 0, -1, 0, kHasHierarchy, &kHierarchies[3]},
};

// Each class's base array is the tail of its derived class's: one line.
const MsvcBaseClass* const kBaseArray[kClasses] = {&kBaseClasses[0], &kBaseClasses[1],
                                                   &kBaseClasses[2], &kBaseClasses[3]};

const MsvcClassHierarchy kHierarchies[kClasses] = {
    {0, 0, 4, &kBaseArray[0]},
    {0, 0, 3, &kBaseArray[1]},
    {0, 0, 2, &kBaseArray[2]},
    {0, 0, 1, &kBaseArray[3]},
};

// Stands for type_info's table where no Visual Studio runtime is loaded: its
// one slot, the deleting destructor, is never called on a static descriptor.
void* QRV_THISCALL KeepTypeInfo(void* self, uint32_t) {
  return self;
}
using TypeInfoDestructor = void*(QRV_THISCALL*)(void*, uint32_t);
const TypeInfoDestructor kOwnTypeInfoTable[1] = {&KeepTypeInfo};

}  // namespace

const MsvcObjectLocator kPluginObjectLocator{0, 0, 0, &g_types[0], &kHierarchies[0]};

void CompletePluginTypeInformation() {
  static const bool done = [] {
    const void* table = platform::HostTypeInfoTable();
    if (table == nullptr) table = kOwnTypeInfoTable;
    for (MsvcTypeDescriptor& type : g_types) type.typeInfoTable = table;
    return true;
  }();
  (void)done;
}

}  // namespace qrv::plugin::msvc
