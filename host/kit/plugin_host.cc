#include "host/kit/plugin_host.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace qrv::host {

std::unique_ptr<PluginHost> PluginHost::Load(const std::string& path, std::string* error) {
  // RTLD_LOCAL: a host keeps each plug-in's symbols to itself.
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    *error = "cannot load " + path + ": " + (why != nullptr ? why : "unknown reason");
    return nullptr;
  }
  auto factory = reinterpret_cast<ModuleInstanceFunction>(dlsym(library, "ModuleInstance"));
  if (factory == nullptr) {
    *error = path + " does not export ModuleInstance";
    dlclose(library);
    return nullptr;
  }
  IAccess* object = factory();
  if (object == nullptr) {
    *error = "ModuleInstance returned no object";
    dlclose(library);
    return nullptr;
  }
  std::unique_ptr<PluginHost> host(new PluginHost());
  host->library_ = library;
  host->factory_ = factory;
  host->object_ = object;
  host->path_ = path;
  return host;
}

void* PluginHost::FindExport(const char* name) const {
  // A handle's lookup covers the libraries loaded with it, in load order.
  return dlsym(library_, name);
}

PluginHost::~PluginHost() {
  Uninit();
  delete object_;  // through the virtual destructor, slot 0
}

int32_t PluginHost::Init() {
  int32_t result = object_->Init();
  initialised_ = initialised_ || result == 1;
  return result;
}

void PluginHost::Uninit() {
  if (!initialised_) return;
  initialised_ = false;
  object_->Uninit();
}

std::string DefaultPluginPath() {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "libqrvaccess.so";
  std::filesystem::path dir = self.parent_path();
  std::filesystem::path installed = dir / ".." / "lib" / "libqrvaccess.so";
  if (std::filesystem::exists(installed, ec)) return installed.lexically_normal().string();
  std::filesystem::path beside = dir / "libqrvaccess.so";
  if (std::filesystem::exists(beside, ec)) return beside.string();
  return "libqrvaccess.so";  // the loader's search path (installed in the system's library folder)
}

}  // namespace qrv::host
