#include "plugin/msvc/msvc_face.h"

#include <new>
#include <string>
#include <string_view>

#include "plugin/access_plugin.h"
#include "plugin/msvc/msvc_rtti.h"

namespace qrv::plugin::msvc {

namespace {

// A by-value text argument: the callee's to destroy, however it returns.
class OwnedArgument {
 public:
  OwnedArgument(MsvcString& text, const platform::HostHeap& heap) : text_(text), heap_(heap) {}
  ~OwnedArgument() { Destroy(text_, heap_); }
  OwnedArgument(const OwnedArgument&) = delete;
  OwnedArgument& operator=(const OwnedArgument&) = delete;

 private:
  MsvcString& text_;
  const platform::HostHeap& heap_;
};

ParameterMap CopyIn(const MsvcParameterMap& map) {
  ParameterMap copy;
  ForEach(map, [&copy](std::string_view key, const MsvcString& value) {
    copy.emplace_hint(copy.end(), std::string(key), std::string(View(value)));
  });
  return copy;
}

// Writes into the host's map every entry of `local` it lacks or holds with
// another text. The plug-in only adds keys and rewrites values, so this
// leaves the host's map as if the operation had worked on it directly.
bool CopyBack(MsvcParameterMap& map, const ParameterMap& local, const platform::HostHeap& heap) {
  for (const auto& [key, value] : local) {
    MsvcTreeNode<MsvcString>* node = FindOrInsert(map, key, heap);
    if (node == nullptr) return false;
    if (View(node->value) != value && !Assign(node->value, value, heap)) return false;
  }
  return true;
}

bool CopyText(MsvcString& target, const std::string& text, const platform::HostHeap& heap) {
  return Assign(target, text, heap);
}

MsvcFace* QRV_THISCALL DestroyFace(MsvcFace* self, uint32_t flags) {
  const platform::HostHeap& heap = *self->heap;
  Destroy(self->moduleInfo.name, heap);
  Destroy(self->moduleInfo.version, heap);
  Destroy(self->moduleInfo.extraText, heap);
  DestroyMap(self->properties, heap);
  delete self->core;
  self->core = nullptr;
  if ((flags & 1u) != 0) delete self;
  return self;
}

void QRV_THISCALL Reserved(MsvcFace*) {}

int32_t QRV_THISCALL Init(MsvcFace* self) {
  try {
    const int32_t result = self->core->Init();
    const ModuleInfo& info = self->core->moduleInfo;
    const platform::HostHeap& heap = *self->heap;
    if (!CopyText(self->moduleInfo.name, info.name, heap) ||
        !CopyText(self->moduleInfo.version, info.version, heap) ||
        !CopyText(self->moduleInfo.extraText, info.extraText, heap)) {
      return -1;
    }
    self->moduleInfo.extraValue = info.extraValue;
    return result;
  } catch (...) {
    return -1;
  }
}

void QRV_THISCALL Uninit(MsvcFace* self) {
  try {
    self->core->Uninit();
  } catch (...) {
  }
}

void QRV_THISCALL HandlePacket(MsvcFace*, PacketRecord) {}
void QRV_THISCALL HandleLargePacket(MsvcFace*, LargePacketRecord) {}

void QRV_THISCALL SetInt(MsvcFace* self, MsvcString name, int32_t value) {
  OwnedArgument owned(name, *self->heap);
  // No room for the name: nothing is stored, as no exception may leave.
  if (auto* node = FindOrInsert(self->properties, View(name), *self->heap)) node->value = value;
}

int32_t QRV_THISCALL GetInt(MsvcFace* self, MsvcString name) {
  OwnedArgument owned(name, *self->heap);
  const auto* node = Find(self->properties, View(name));
  return node != nullptr ? node->value : 0;
}

void QRV_THISCALL HandleParameters(MsvcFace* self, MsvcParameterMap parameters) {
  DestroyMap(parameters, *self->heap);
}

int32_t QRV_THISCALL GetAccessType(MsvcFace* self) {
  return self->core->GetAccessType();
}

int32_t QRV_THISCALL Execute(MsvcFace* self, MsvcParameterMap* input, MsvcParameterMap* output) {
  try {
    if (input == output) {
      // One map as both arguments: one copy serves as both, or the second
      // copy-back would restore what the first one wrote.
      ParameterMap both = CopyIn(*input);
      const int32_t result = self->core->Execute(both, both);
      return CopyBack(*input, both, *self->heap) ? result : -1;
    }
    ParameterMap in = CopyIn(*input);
    ParameterMap out = CopyIn(*output);
    const int32_t result = self->core->Execute(in, out);
    if (!CopyBack(*input, in, *self->heap) || !CopyBack(*output, out, *self->heap)) return -1;
    return result;
  } catch (...) {
    return -1;
  }
}

void QRV_THISCALL SetDiscoveryCallback(MsvcFace* self, DiscoveryCallback callback) {
  self->core->SetDiscoveryCallback(callback);
}

int32_t QRV_THISCALL SetStreamDataCallback(MsvcFace* self, uint32_t slot,
                                           StreamDataCallback callback, uintptr_t user) {
  try {
    return self->core->SetStreamDataCallback(slot, callback, user);
  } catch (...) {
    return -1;
  }
}

int32_t QRV_THISCALL SetSlotCallback2(MsvcFace* self, uint32_t a, uint32_t b, uint32_t c) {
  return self->core->SetSlotCallback2(a, b, c);
}

int32_t QRV_THISCALL SetAlarmCallback(MsvcFace* self, AlarmCallback callback, uint32_t unused) {
  return self->core->SetAlarmCallback(callback, unused);
}

int32_t QRV_THISCALL SetConnectionStatusCallback(MsvcFace* self, ConnectionStatusCallback callback,
                                                 uint32_t unused) {
  return self->core->SetConnectionStatusCallback(callback, unused);
}

int32_t QRV_THISCALL SetSlotCallback3(MsvcFace* self, uint32_t slot, uint32_t a, uint32_t b) {
  return self->core->SetSlotCallback3(slot, a, b);
}

constexpr MsvcFaceTable kOperations{
    &DestroyFace,
    &Reserved,
    &Init,
    &Uninit,
    &HandlePacket,
    &HandleLargePacket,
    &HandlePacket,
    &SetInt,
    &GetInt,
    &HandleParameters,
    &GetAccessType,
    &Execute,
    &SetDiscoveryCallback,
    &SetStreamDataCallback,
    &SetSlotCallback2,
    &SetAlarmCallback,
    &SetConnectionStatusCallback,
    &SetSlotCallback3,
};

// The host's runtime finds the type information in the word before the
// table's first slot.
struct LocatedTable {
  const MsvcObjectLocator* locator;
  MsvcFaceTable table;
};
static_assert(offsetof(LocatedTable, table) == sizeof(void*));
constexpr LocatedTable kTable{&kPluginObjectLocator, kOperations};

}  // namespace

MsvcFace* CreateMsvcFace(const platform::HostHeap& heap) {
  auto* face = new (std::nothrow) MsvcFace{};
  if (face == nullptr) return nullptr;
  CompletePluginTypeInformation();
  face->table = &kTable.table;
  face->heap = &heap;
  InitEmpty(face->moduleInfo.name);
  InitEmpty(face->moduleInfo.version);
  InitEmpty(face->moduleInfo.extraText);
  face->moduleInfo.extraValue = 0;
  face->core = new (std::nothrow) CQRVAccessPlugin();
  if (face->core == nullptr || !InitEmptyMap(face->properties, heap)) {
    delete face->core;
    delete face;
    return nullptr;
  }
  return face;
}

}  // namespace qrv::plugin::msvc
