# What `cmake --install` puts into a prefix, and the Debian package of the
# same set: the plug-in and the device library (versioned, with SONAMEs), the
# public header with its build record, a CMake package (find_package(QrvAccess
# CONFIG) gives QrvAccess::qrvaccess), a pkg-config file (qrvaccess), and
# qrv-host and qrv-simulator when they are built.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Hosts include <qrvaccess/qrv_access.h> from the installed tree.
target_include_directories(qrvaccess INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

# The plug-in finds the device library beside itself (RUNPATH $ORIGIN), so
# both share a folder.
install(TARGETS qrvaccess tmControlClient EXPORT QrvAccessTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/qrvaccess/qrv_access.h
              ${PROJECT_BINARY_DIR}/include/qrvaccess/qrv_access_config.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qrvaccess)
foreach(tool qrv-host qrv-simulator)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

set(qrv_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/QrvAccess)
install(EXPORT QrvAccessTargets NAMESPACE QrvAccess:: DESTINATION ${qrv_cmake_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/templates/QrvAccessConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/QrvAccessConfig.cmake
                              INSTALL_DESTINATION ${qrv_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QrvAccessConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QrvAccessConfig.cmake
              ${PROJECT_BINARY_DIR}/QrvAccessConfigVersion.cmake
        DESTINATION ${qrv_cmake_dir})

# The .pc file finds its prefix from where it lies, so one file serves every
# install prefix and the package.
set(qrv_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH qrv_pc_to_prefix /root/${qrv_pc_dir} /root)
string(REGEX REPLACE "/$" "" qrv_pc_to_prefix "${qrv_pc_to_prefix}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/templates/qrvaccess.pc.in
               ${PROJECT_BINARY_DIR}/qrvaccess.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qrvaccess.pc DESTINATION ${qrv_pc_dir})

# Debian wants the licence terms and a compressed change log with every package.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_SOURCE_DIR}/docs/host-guide.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
set(qrv_changelog ${PROJECT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${qrv_changelog}
                   COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${qrv_changelog}
                   DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(qrv_changelog ALL DEPENDS ${qrv_changelog})
install(FILES ${qrv_changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qrvaccess)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}.0)
set(CPACK_PACKAGE_CONTACT "QRV plug-in developers <qrv-dev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "device-access plug-in for video-surveillance hosts")
set(CPACK_PACKAGE_DESCRIPTION "The QRV device-access plug-in (libqrvaccess) and its network device
library (libtmControlClient), with the public header, CMake and pkg-config
files for hosts, the host tool qrv-host and the device simulator qrv-simulator.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The loader's cache is refreshed by dpkg's ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_STRIP_FILES ON)
set(CPACK_SET_DESTDIR OFF)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
