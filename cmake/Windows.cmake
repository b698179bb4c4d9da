# Settings of the 32-bit Windows build (MinGW-w64, see mingw-i686.cmake).
#
# The two DLLs a host receives link the C++ runtime statically, so they need
# only system DLLs (qrv_static_runtime). Test programs and the test double of
# the device library use the runtime DLLs instead, so that one unwinder sees
# the frames of every module: a fault inside the double then unwinds into the
# test's fault barrier as it does on Linux.
add_compile_definitions(_WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)

# The PE linker resolves archives (import libraries included) in command-line
# order only, and the subsystems call the device library from every side:
# let it search the libraries as a group.
foreach(rule CMAKE_CXX_LINK_EXECUTABLE CMAKE_CXX_CREATE_SHARED_LIBRARY)
  string(REPLACE "<LINK_LIBRARIES>" "-Wl,--start-group <LINK_LIBRARIES> -Wl,--end-group"
         ${rule} "${${rule}}")
endforeach()

# Asio is header-only; Debian installs it beside the Linux headers, which must
# not be on the cross compiler's path, so only Asio is shown to it.
set(QRV_WIN_INCLUDE ${CMAKE_BINARY_DIR}/win-include)
file(MAKE_DIRECTORY ${QRV_WIN_INCLUDE})
foreach(entry asio asio.hpp)
  if(NOT EXISTS ${QRV_WIN_INCLUDE}/${entry})
    file(CREATE_LINK /usr/include/${entry} ${QRV_WIN_INCLUDE}/${entry} SYMBOLIC)
  endif()
endforeach()

# Test programs and the test double share one folder with the runtime DLLs;
# the real device library, the plug-in and the programs that load them have
# their own (bin/), where the test double's namesake cannot shadow them.
set(QRV_WIN_TEST_DIR ${CMAKE_BINARY_DIR}/tests/fake)
set(QRV_WIN_BIN_DIR ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${QRV_WIN_TEST_DIR})
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
                OUTPUT_VARIABLE qrv_libstdcxx_dll OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libgcc_s_dw2-1.dll
                OUTPUT_VARIABLE qrv_libgcc_dll OUTPUT_STRIP_TRAILING_WHITESPACE)
set(qrv_runtime_dlls ${qrv_libstdcxx_dll} ${qrv_libgcc_dll}
    /usr/i686-w64-mingw32/lib/libwinpthread-1.dll)
foreach(dir ${QRV_WIN_TEST_DIR} ${QRV_WIN_BIN_DIR} ${CMAKE_BINARY_DIR}/tests/fake_basic)
  file(MAKE_DIRECTORY ${dir})
  foreach(dll ${qrv_runtime_dlls})
    if(NOT EXISTS ${dll})
      message(FATAL_ERROR "MinGW runtime DLL not found: ${dll}")
    endif()
    file(COPY ${dll} DESTINATION ${dir})
  endforeach()
endforeach()

# A DLL or program that must run with system DLLs only.
function(qrv_static_runtime target)
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
endfunction()
