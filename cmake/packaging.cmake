# Where an installed system keeps the plug-in, the host library and the tools, and the Debian
# package of this build (mipsel for the controller, amd64 for a workstation):
#   /usr/lib/klx/libklxhost.so.0            the host stand-in library
#   /usr/lib/klx/plugins/korvantis_419.so   the plug-in; finds the host library through $ORIGIN/..
#   /usr/bin/klx-host, klx-sim, klx-record, klx-history   the tools, where this build has them
#   /usr/share/snmp/mibs/KLX-POWER-MIB.txt  the SNMP subagent's MIB (amd64)
# Build with `cpack --config <build>/CPackConfig.cmake -B <build>/packages` (scripts/package).

set(KLX_INSTALL_LIBDIR lib/klx)
set(KLX_INSTALL_PLUGINDIR ${KLX_INSTALL_LIBDIR}/plugins)

install(TARGETS klxhost LIBRARY DESTINATION ${KLX_INSTALL_LIBDIR} NAMELINK_SKIP)
install(TARGETS korvantis_419 LIBRARY DESTINATION ${KLX_INSTALL_PLUGINDIR})
set_target_properties(korvantis_419 PROPERTIES INSTALL_RPATH "$ORIGIN/..")

# The user's page of device options, control codes and alarms (klx-host --help points to it).
install(FILES ${PROJECT_SOURCE_DIR}/docs/device-options.md DESTINATION share/doc/korvantis-419)

set(klx_packaged_tools)
foreach(tool klx-host klx-sim klx-record klx-history)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION bin)
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../${KLX_INSTALL_LIBDIR}")
    list(APPEND klx_packaged_tools ${tool})
  endif()
endforeach()

# Loads the plug-in of an unpacked package without the build tree's help (scripts/package).
add_executable(klx-load-check EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/tests/package/load_installed.cpp)
target_include_directories(klx-load-check PRIVATE ${PROJECT_SOURCE_DIR}/host/include
  $<TARGET_PROPERTY:PkgConfig::JSONCPP,INTERFACE_INCLUDE_DIRECTORIES>
  $<TARGET_PROPERTY:Boost::headers,INTERFACE_INCLUDE_DIRECTORIES>)
target_link_libraries(klx-load-check PRIVATE ${CMAKE_DL_LIBS})
# How a script runs a program of this build: through the emulator when cross-built.
set(KLX_TARGET_RUNNER "${CMAKE_CROSSCOMPILING_EMULATOR}" CACHE INTERNAL "")

# Debian's name for the architecture the compiler builds for (not the build machine's).
set(klx_deb_arch_of_x86_64 amd64)
set(klx_deb_arch_of_mipsel mipsel)
set(klx_deb_arch_of_aarch64 arm64)
set(klx_deb_arch "${klx_deb_arch_of_${CMAKE_SYSTEM_PROCESSOR}}")
if(NOT klx_deb_arch)
  message(WARNING "No Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}: no package")
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvantis-419)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "korvantis_419 maintainers <klx@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${klx_deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "korvantis_419 power-system plug-in with the host stand-in library")
set(CPACK_PACKAGE_DESCRIPTION
    "Device plug-in korvantis_419.so in /usr/lib/klx/plugins and the host library libklxhost.so.0 in /usr/lib/klx.")
if(klx_packaged_tools)
  list(JOIN klx_packaged_tools ", " klx_tool_list)
  string(APPEND CPACK_PACKAGE_DESCRIPTION " Programs: ${klx_tool_list}.")
endif()

if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps cannot see the target's libraries (they are not installed as packages here), so
  # the runtime packages are named: glibc 2.34 (dlopen, which the host library's plug-in loader
  # calls) and GCC 11's libstdc++ are the newest symbol versions the libraries use;
  # scripts/package checks the glibc one against them.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11), libjsoncpp25 (>= 1.9.5)")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The host library ships in this package; dpkg-shlibdeps must not look for it elsewhere.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_LIBRARY_OUTPUT_DIRECTORY}")
endif()

# The service on a workstation or server (amd64): the unit, its user and the example
# configuration, a conffile (docs/operations.md). Maintainer scripts create the user and reload
# systemd.
if(TARGET klx-host AND NOT CMAKE_CROSSCOMPILING)
  set(klx_pkg ${PROJECT_SOURCE_DIR}/packaging)
  install(FILES ${klx_pkg}/klx-host.service DESTINATION lib/systemd/system)
  install(FILES ${klx_pkg}/klx-host.sysusers DESTINATION lib/sysusers.d RENAME klx-host.conf)
  install(FILES ${klx_pkg}/klx-host.json DESTINATION /etc/klx)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/operations.md ${PROJECT_SOURCE_DIR}/docs/snmp.md
                ${klx_pkg}/snmpd.conf.example DESTINATION share/doc/korvantis-419)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${klx_pkg}/postinst ${klx_pkg}/prerm ${klx_pkg}/postrm ${klx_pkg}/conffiles)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The SNMP subagent (docs/snmp.md): its MIB where net-snmp's tools look, libsnmp40 (found by
  # dpkg-shlibdeps too) and the master agent it serves through, recommended only. The mipsel
  # package never gets here: the plug-in does not link net-snmp.
  if(NETSNMP_AGENT_LIBRARY)
    install(FILES ${PROJECT_SOURCE_DIR}/exporters/snmp/mibs/KLX-POWER-MIB.txt
            DESTINATION share/snmp/mibs)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsnmp40")
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "snmpd")
  endif()
endif()

include(CPack)
