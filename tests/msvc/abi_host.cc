// A Visual Studio host of qrvaccess.dll, written as such a host is: its own
// std::map and std::string, virtual calls, reading the public data, delete.
// It checks every slot: how many bytes of arguments each removes (measured
// against the same interface compiled here), what each does with the host's
// containers, and that every block went back to the heap it came from (the
// runner fails on any heap warning). No device is needed.
//   abi_host.exe            every check; exit 0 when all passed
//   abi_host.exe wrong-free the checks, then one deliberately wrong free
#include <cstdlib>
#include <map>
#include <new>
#include <string>
#include <typeinfo>
#include <vector>

#include "host_support.h"

// The list of names type_info::name() made, which a Visual Studio program's
// static runtime part defines (the toolchain's start-up code does not).
struct __type_info_node {
  alignas(8) unsigned long long header;
};
__type_info_node __type_info_root_node;
extern "C" __declspec(dllimport) void __cdecl __std_type_info_destroy_list(__type_info_node*);

// The same interface, compiled by this host's compiler: what Visual Studio
// itself makes of each slot and of the class's type information.
class CQRVAccessPlugin final : public IAccess {
 public:
  int32_t GetAccessType() override { return 11; }
  int32_t Execute(ParameterMap&, ParameterMap&) override { return -1; }
  void SetDiscoveryCallback(DiscoveryCallback) override {}
  int32_t SetStreamDataCallback(uint32_t, StreamDataCallback, uintptr_t) override { return 10; }
  int32_t SetSlotCallback2(uint32_t, uint32_t, uint32_t) override { return 0; }
  int32_t SetAlarmCallback(AlarmCallback, uint32_t) override { return 0; }
  int32_t SetConnectionStatusCallback(ConnectionStatusCallback, uint32_t) override { return 0; }
  int32_t SetSlotCallback3(uint32_t, uint32_t, uint32_t) override { return 10; }
};

namespace {

using host::Check;
using Reference = ::CQRVAccessPlugin;

std::string Text(size_t length, char first) {
  std::string text(length, first);
  for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>(first + i % 7);
  if (length > 2) text[length / 2] = '\0';
  return text;
}

// Raw stack arguments of one slot, by-value objects built in place; the
// callee owns them from the call on, so they are never destroyed here.
std::vector<unsigned char> Arguments(int slot, ParameterMap* in, ParameterMap* out) {
  std::vector<unsigned char> bytes;
  auto words = [&bytes](std::initializer_list<uint32_t> values) {
    for (uint32_t v : values) {
      const size_t at = bytes.size();
      bytes.resize(at + 4);
      std::memcpy(&bytes[at], &v, 4);
    }
  };
  switch (slot) {
    case 0:
      words({1});
      break;  // flags: free the object
    case 4:
    case 6:
      bytes.assign(sizeof(PacketRecord), 0);
      break;
    case 5:
      bytes.assign(sizeof(LargePacketRecord), 0);
      break;
    case 7:
      bytes.resize(sizeof(std::string));
      new (bytes.data()) std::string("a probe name longer than the inside buffer");
      words({5});
      break;
    case 8:
      bytes.resize(sizeof(std::string));
      new (bytes.data()) std::string("a probe name longer than the inside buffer");
      break;
    case 9:
      bytes.resize(sizeof(ParameterMap));
      new (bytes.data()) ParameterMap{{"one", "1"}, {"big", std::string(5000, 'b')}};
      break;
    case 11:
      words({reinterpret_cast<uint32_t>(in), reinterpret_cast<uint32_t>(out)});
      break;
    case 12:
      words({0});
      break;
    case 13:
    case 17:
      words({256, 0, 0});
      break;
    case 14:
      words({1, 2, 3});
      break;
    case 15:
    case 16:
      words({0, 0});
      break;
    default:
      break;  // 1, 2, 3, 10: none
  }
  return bytes;
}

uint32_t Probe(IAccess* object, int slot) {
  ParameterMap in{{"Operation", "999"}}, out;
  const std::vector<unsigned char> bytes = Arguments(slot, &in, &out);
  const void* function = (*reinterpret_cast<void* const* const*>(object))[slot];
  return probe_call(object, function, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// Slot by slot, what the plug-in removes equals what this compiler's own
// object removes; printed for the record.
void CheckEverySlotsArguments(ModuleInstanceFunction factory) {
  IAccess* ours = factory();
  IAccess* reference = new Reference;
  const int order[] = {1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 3, 0};
  for (int slot : order) {
    const uint32_t expected = Probe(reference, slot);
    const uint32_t measured = Probe(ours, slot);
    std::printf("slot %2d: removes %6u bytes (Visual Studio's object: %6u)\n", slot, measured,
                expected);
    Check(measured == expected, "a slot removes the bytes the host pushed", __LINE__);
  }
}

void CheckModuleInfoAndProperties(IAccess* object) {
  HOST_CHECK(object->moduleInfo.name.empty() && object->moduleInfo.version.empty());
  HOST_CHECK(object->GetAccessType() == 11);
  HOST_CHECK(object->Init() == 1);
  HOST_CHECK(object->moduleInfo.name == "PLUGIN.Access.QRV");
  HOST_CHECK(object->moduleInfo.version == "1.0");
  HOST_CHECK(object->moduleInfo.extraText.empty() && object->moduleInfo.extraValue == 0);
  HOST_CHECK(object->GetAccessType() == 11);
  // Public data: the host may write it, and the plug-in frees what it wrote.
  object->moduleInfo.extraText = std::string(6000, 'e');

  const size_t lengths[] = {0, 15, 16, 4095, 4096, 100000};
  for (size_t length : lengths) {
    const std::string name = Text(length, 'n');
    object->SetInt(name, static_cast<int32_t>(length) + 1);
    HOST_CHECK(object->GetInt(name) == static_cast<int32_t>(length) + 1);
  }
  HOST_CHECK(object->properties.size() == 6);
  object->SetInt("twice", 1);
  object->SetInt("twice", 2);
  HOST_CHECK(object->GetInt("twice") == 2 && object->properties.size() == 7);
  HOST_CHECK(object->GetInt("never set") == 0 && object->properties.size() == 7);
  // The host's own map code on the plug-in's tree, and the other way round.
  HOST_CHECK(object->properties.find(Text(4096, 'n'))->second == 4097);
  object->properties["set by the host"] = 42;
  HOST_CHECK(object->GetInt("set by the host") == 42);
  std::string previous;
  bool ordered = true;
  for (const auto& entry : object->properties) {
    ordered = ordered && (previous.empty() || previous < entry.first);
    previous = entry.first;
  }
  HOST_CHECK(ordered);
  object->properties.erase("twice");
  HOST_CHECK(object->GetInt("twice") == 0);
}

void CheckInsertOnLookup(IAccess* object) {
  // A login without a port reads four keys and is refused: they are in the
  // host's map afterwards, whatever its size, and the host's own code can
  // iterate, erase and destroy the nodes the plug-in made.
  for (int entries : {0, 1, 1000}) {
    ParameterMap in{{"Operation", "1"}}, out;
    for (int i = 0; i < entries; ++i) in["k" + std::to_string(10000 + i)] = Text(i % 50, 'v');
    HOST_CHECK(object->Execute(in, out) == -1);
    HOST_CHECK(in.size() == static_cast<size_t>(entries) + 5);
    for (const char* key : {"DeviceIP", "User", "Password", "DevicePort"}) {
      HOST_CHECK(in.count(key) == 1 && in[key].empty());
    }
    HOST_CHECK(out.empty());
    size_t seen = 0;
    for (auto it = in.begin(); it != in.end(); ++it) ++seen;
    HOST_CHECK(seen == in.size());
    for (auto it = in.begin(); it != in.end();) it = (seen++ % 2 == 0) ? in.erase(it) : ++it;
    in.erase("DeviceIP");
    in["after"] = "the host inserts again";
    HOST_CHECK(in.count("after") == 1 && in.count("DeviceIP") == 0);
  }

  // An unknown operation: -1; the input keeps what it had ("Operation" was
  // read and is there), the output is untouched. Keys and values with NUL
  // bytes stay exact, and "Operation\0x" is not "Operation".
  ParameterMap in{{std::string("Operation\0x", 11), "1"}, {"Value", std::string("a\0b\0", 4)}};
  ParameterMap out{{"Kept", "as it was"}};
  HOST_CHECK(object->Execute(in, out) == -1);
  HOST_CHECK(in.size() == 3 && in["Operation"].empty());
  HOST_CHECK(in["Value"] == std::string("a\0b\0", 4));
  ParameterMap unknown{{"Operation", "999"}, {"Other", "x"}};
  const ParameterMap before = unknown;
  HOST_CHECK(object->Execute(unknown, out) == -1);
  HOST_CHECK(unknown == before);
  HOST_CHECK(out.size() == 1 && out["Kept"] == "as it was");

  // Operation 21 rewrites "FileName" in the host's map, into blocks the
  // host frees (the big-block rule from 4096 bytes on).
  for (size_t length : {10u, 12u, 4076u, 4091u, 4092u, 100000u}) {
    ParameterMap start{{"Operation", "21"},
                       {"Handle", "0"},
                       {"FileName", "Z:\\no such folder\\" + std::string(length, 'f')}};
    const std::string expected = start["FileName"] + ".264";
    ParameterMap both = start;
    HOST_CHECK(object->Execute(start, out) == -1);
    HOST_CHECK(start["FileName"] == expected);
    // One map passed as both arguments keeps the rewrite too.
    HOST_CHECK(object->Execute(both, both) == -1);
    HOST_CHECK(both["FileName"] == expected && both.size() == 3);
  }
  // Outputs: slot numbers out of range give 10 and write nothing.
  ParameterMap talk{{"Operation", "35"}, {"LOGINID", "300"}};
  ParameterMap talkOut{{"Handle", std::string(20, 'h')}};
  HOST_CHECK(object->Execute(talk, talkOut) == 10);
  HOST_CHECK(talkOut["Handle"] == "300");  // voice talk echoes the number read
  ParameterMap status{{"Operation", "101"}};
  ParameterMap statusOut;
  HOST_CHECK(object->Execute(status, statusOut) == 0);
  HOST_CHECK(statusOut["EventService"] == "1" && statusOut["AlarmPort"] == "5005");
}

void CheckTheRest(IAccess* object) {
  for (int entries : {0, 1, 1000}) {
    ParameterMap parameters;
    for (int i = 0; i < entries; ++i) parameters["p" + std::to_string(i)] = Text(i * 7 % 5000, 'p');
    object->HandleParameters(parameters);  // a copy the plug-in destroys
    HOST_CHECK(parameters.size() == static_cast<size_t>(entries));
  }
  static PacketRecord packet;
  static LargePacketRecord large;
  object->HandlePacket(packet);
  object->HandleLargePacket(large);
  object->HandlePacket2(packet);
  object->Reserved();
  HOST_CHECK(object->SetStreamDataCallback(256, nullptr, 0) == 10);
  HOST_CHECK(object->SetStreamDataCallback(0xFFFFFFFFu, nullptr, 0) == 10);
  HOST_CHECK(object->SetStreamDataCallback(255, nullptr, 0) == 0);
  HOST_CHECK(object->SetSlotCallback2(1, 2, 3) == 0);
  HOST_CHECK(object->SetSlotCallback3(255, 0, 0) == 0 && object->SetSlotCallback3(256, 0, 0) == 10);
  HOST_CHECK(object->SetAlarmCallback(nullptr, 7) == 0);
  HOST_CHECK(object->SetConnectionStatusCallback(nullptr, 7) == 0);
  object->SetDiscoveryCallback(nullptr);
}

// A polymorphic class of the host's that the plug-in's object is not.
class Unrelated {
 public:
  virtual ~Unrelated() {}
};

// The type information the host's runtime reads in front of a table: the
// complete-object locator (32-bit layout) and what it points to.
struct TypeDescriptor {
  const void* table;
  const char* readable;
  char name[1];
};
struct BaseClass;
struct Hierarchy {
  uint32_t signature, attributes, count;
  const BaseClass* const* bases;
};
struct BaseClass {
  const TypeDescriptor* type;
  uint32_t contained;
  int32_t mdisp, pdisp, vdisp;
  uint32_t attributes;
  const Hierarchy* hierarchy;
};
struct Locator {
  uint32_t signature, offset, cdOffset;
  const TypeDescriptor* type;
  const Hierarchy* hierarchy;
};
const Locator* LocatorOf(const void* object) {
  return (*static_cast<const Locator* const* const*>(object))[-1];
}

// What the plug-in wrote equals, field by field and name by name, what this
// compiler wrote for its own class of the same name and bases.
void CompareHierarchies(const Hierarchy* ours, const Hierarchy* reference, int depth) {
  HOST_CHECK(ours->signature == reference->signature);
  HOST_CHECK(ours->attributes == reference->attributes);
  if (!HOST_CHECK(ours->count == reference->count)) return;
  for (uint32_t i = 0; i < ours->count; ++i) {
    const BaseClass* a = ours->bases[i];
    const BaseClass* b = reference->bases[i];
    HOST_CHECK(std::strcmp(a->type->name, b->type->name) == 0);
    HOST_CHECK(a->contained == b->contained && a->mdisp == b->mdisp && a->pdisp == b->pdisp &&
               a->vdisp == b->vdisp && a->attributes == b->attributes);
    if (depth == 0 && (a->hierarchy == nullptr) == (b->hierarchy == nullptr) &&
        a->hierarchy != nullptr) {
      CompareHierarchies(a->hierarchy, b->hierarchy, depth + 1);
    }
  }
}

void CheckTypeInformation(IAccess* object) {
  IModule* module = object;
  IDataPacket* packet = object;
  HOST_CHECK(dynamic_cast<IAccess*>(module) == object);
  HOST_CHECK(dynamic_cast<IDataPacket*>(module) == packet);
  HOST_CHECK(dynamic_cast<IAccess*>(packet) == object);
  HOST_CHECK(dynamic_cast<Unrelated*>(module) == nullptr);
  HOST_CHECK(dynamic_cast<void*>(packet) == static_cast<void*>(object));
  bool refused = false;
  try {
    (void)dynamic_cast<Unrelated&>(*module);
  } catch (const std::bad_cast&) {
    refused = true;
  }
  HOST_CHECK(refused);
  const char* name = typeid(*module).name();
  std::printf("typeid name: %s\n", name);
  HOST_CHECK(std::strcmp(name, "class CQRVAccessPlugin") == 0);
  HOST_CHECK(typeid(*packet) == typeid(CQRVAccessPlugin));
  HOST_CHECK(!(typeid(*object) == typeid(IAccess)));

  Reference reference;
  const Locator* ours = LocatorOf(object);
  const Locator* theirs = LocatorOf(&reference);
  HOST_CHECK(ours->signature == theirs->signature && ours->offset == theirs->offset &&
             ours->cdOffset == theirs->cdOffset);
  HOST_CHECK(std::strcmp(ours->type->name, theirs->type->name) == 0);
  CompareHierarchies(ours->hierarchy, theirs->hierarchy, 0);
  // type_info's table is the one the runtime's own type_info objects carry
  // (those of msvcrt.dll, which the plug-in imports).
  void* crt = GetModuleHandleA("msvcrt.dll");
  const void* exceptionTable = crt ? GetProcAddress(crt, "??_7exception@@6B@") : nullptr;
  if (HOST_CHECK(exceptionTable != nullptr)) {
    const void* runtimeTable = LocatorOf(&exceptionTable)->type->table;
    std::printf("type_info table: %p, the runtime's: %p\n", ours->type->table, runtimeTable);
    HOST_CHECK(runtimeTable != nullptr && ours->type->table == runtimeTable);
  }
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  void* module = nullptr;
  ModuleInstanceFunction factory = host::LoadPlugin(&module);
  if (!HOST_CHECK(factory != nullptr)) return host::Finish();

  IAccess* object = factory();
  if (HOST_CHECK(object != nullptr)) {
    CheckModuleInfoAndProperties(object);
    CheckInsertOnLookup(object);
    CheckTheRest(object);
    CheckTypeInformation(object);
    // Two objects share one plug-in: the second sees the same service.
    IAccess* second = factory();
    ParameterMap status{{"Operation", "101"}}, statusOut;
    HOST_CHECK(second->Execute(status, statusOut) == 0 && statusOut["EventService"] == "1");
    delete second;
    object->Uninit();
    delete object;
  }
  __std_type_info_destroy_list(&__type_info_root_node);
  CheckEverySlotsArguments(factory);
  HOST_CHECK(FreeLibrary(module) != 0);

  const std::vector<std::string> arguments = host::Arguments();
  if (!arguments.empty() && arguments[0] == "wrong-free") {
    // The mistake this run must be able to see: a block of one heap handed
    // to another heap's free.
    void* block = HeapAlloc(GetProcessHeap(), 0, 64);
    std::free(block);
    std::printf("freed a process-heap block with the C runtime's free\n");
  }
  return host::Finish();
}
