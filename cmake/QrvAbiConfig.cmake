# Records the C++ library ABI and bitness the plug-in is built with in
# qrvaccess/qrv_access_config.h, which the public header checks a host against.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles("
#include <string>
#if !_GLIBCXX_USE_CXX11_ABI
#error old string ABI
#endif
int main() { return 0; }" QRV_HAVE_CXX11_ABI)
if(QRV_HAVE_CXX11_ABI)
  set(QRV_ACCESS_CXX11_ABI 1)
else()
  set(QRV_ACCESS_CXX11_ABI 0)
endif()
if(QRV_M32)
  set(QRV_ACCESS_POINTER_BITS 32)
else()
  math(EXPR QRV_ACCESS_POINTER_BITS "${CMAKE_SIZEOF_VOID_P} * 8")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/templates/qrv_access_config.h.in
               ${PROJECT_BINARY_DIR}/include/qrvaccess/qrv_access_config.h @ONLY)
include_directories(BEFORE ${PROJECT_BINARY_DIR}/include)
