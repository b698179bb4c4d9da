// A host that only includes the public header: compiled by the ABI tests with
// settings that differ from the plug-in's, which the header must refuse.
#include "qrvaccess/qrv_access.h"

int main() {
  return 0;
}
