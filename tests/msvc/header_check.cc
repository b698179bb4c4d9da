// The public header in the oldest language a served Visual Studio accepts
// (C++14, Visual Studio 2015): it must compile there, and refuse a debug
// runtime build with its reason.
#include "qrvaccess/qrv_access.h"

int main() {
  ParameterMap in;
  in[kQrvKeyOperation] = "101";
  return sizeof(ModuleInfo) == 76 && in.size() == 1 ? 0 : 1;
}
