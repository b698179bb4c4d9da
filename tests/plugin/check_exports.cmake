# Fails unless the shared plug-in exports ModuleInstance and nothing else of
# its own (symbols of the C++ runtime aside).
#   cmake -DLIBRARY=<path to libqrvaccess.so> -P check_exports.cmake
execute_process(COMMAND nm -D -C --defined-only ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(found_factory FALSE)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  if(name STREQUAL "")
    continue()
  elseif(name STREQUAL "ModuleInstance")
    set(found_factory TRUE)
  elseif(NOT name MATCHES "^((typeinfo|typeinfo name|vtable|VTT|guard variable) for )?(std::|__gnu_cxx::|__cxxabiv1::)")
    message(FATAL_ERROR "libqrvaccess exports ${name}")
  endif()
endforeach()
if(NOT found_factory)
  message(FATAL_ERROR "libqrvaccess does not export ModuleInstance")
endif()
