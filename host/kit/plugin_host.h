// Loads the plug-in as a host does: dlopen, the exported factory, Init, and
// at the end Uninit and delete. Everything else goes through the object's
// virtual operations.
//
// Threads: Load, Init, Uninit and the destructor run on the thread that owns
// the PluginHost and must not overlap any other call into the plug-in (the
// plug-in's own calling order). No lock is taken here.
#pragma once

#include <memory>
#include <string>

#include "qrvaccess/qrv_access.h"

namespace qrv::host {

class PluginHost {
 public:
  // Opens the shared library at `path` and makes one object with
  // ModuleInstance. Returns null and fills `error` when the library cannot be
  // loaded, lacks the factory, or the factory returns null.
  static std::unique_ptr<PluginHost> Load(const std::string& path, std::string* error);

  // Calls Uninit when Init succeeded, then deletes the object. The library
  // stays loaded: its threads may outlive the object until the process ends.
  ~PluginHost();

  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  // Init on the object; its result (1 means success).
  int32_t Init();
  // Uninit when Init succeeded and Uninit has not been called yet.
  void Uninit();

  IAccess& access() { return *object_; }
  // The exported factory, for hosts that want more objects of their own.
  ModuleInstanceFunction factory() const { return factory_; }
  const std::string& path() const { return path_; }
  // The function `name` exported by the plug-in or a library it was loaded
  // with (its device library), or null. Any thread.
  void* FindExport(const char* name) const;

 private:
  PluginHost() = default;

  void* library_ = nullptr;
  ModuleInstanceFunction factory_ = nullptr;
  IAccess* object_ = nullptr;
  bool initialised_ = false;
  std::string path_;
};

// The plug-in installed beside the running program: <dir>/../lib/libqrvaccess.so,
// else <dir>/libqrvaccess.so, where <dir> holds the program's binary, else
// "libqrvaccess.so" for the loader to find (a system-wide install).
std::string DefaultPluginPath();

}  // namespace qrv::host
