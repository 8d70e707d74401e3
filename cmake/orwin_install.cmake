# SPDX-License-Identifier: MIT
# Installation: the three libraries with versioned names, the public headers
# (never the internal ones), the tools and the simulator with their manual
# pages, a CMake package (orwin::orwin, orwin::orwin_c, orwin::orwin_c_macos
# where built) and pkg-config files. Debian packages are made from debian/.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ORWIN_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/orwin)
set(orwin_installed_libraries orwin)
foreach(lib orwin_c orwin_c_macos)
  if(TARGET ${lib})
    list(APPEND orwin_installed_libraries ${lib})
  endif()
endforeach()
foreach(lib IN LISTS orwin_installed_libraries)
  target_include_directories(${lib} INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/orwin>)
endforeach()
install(TARGETS ${orwin_installed_libraries} EXPORT orwinTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Every header in include/ is public; the internal ones live beside the sources.
file(GLOB orwin_public_headers ${PROJECT_SOURCE_DIR}/include/*.h ${PROJECT_SOURCE_DIR}/include/*.hpp)
install(FILES ${orwin_public_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/orwin)

# Installed programs find the library beside them in the prefix.
foreach(tool orwin-info orwin-unitsim orwin-rmap orwin-capture)
  if(TARGET ${tool})
    # --version reports the package's version.
    target_compile_definitions(${tool} PRIVATE ORWIN_TOOL_VERSION="${PROJECT_VERSION}")
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    if(EXISTS ${PROJECT_SOURCE_DIR}/man/${tool}.1)
      install(FILES ${PROJECT_SOURCE_DIR}/man/${tool}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
  endif()
endforeach()

# The capture dissector, unless its own rule installs it.
if(EXISTS ${PROJECT_SOURCE_DIR}/wireshark/orwin.lua AND NOT DEFINED ORWIN_WIRESHARK_PLUGIN_DIR)
  install(FILES ${PROJECT_SOURCE_DIR}/wireshark/orwin.lua DESTINATION ${CMAKE_INSTALL_LIBDIR}/wireshark/plugins)
endif()

install(EXPORT orwinTargets NAMESPACE orwin:: DESTINATION ${ORWIN_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/orwinConfig.cmake.in
  ${PROJECT_BINARY_DIR}/orwinConfig.cmake INSTALL_DESTINATION ${ORWIN_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/orwinConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/orwinConfig.cmake ${PROJECT_BINARY_DIR}/orwinConfigVersion.cmake
  DESTINATION ${ORWIN_INSTALL_CMAKEDIR})

# pkg-config: orwin (the full library) and orwin_c (the earlier C-only
# build). The prefix is the one installed to, taken when installing, so that
# `cmake --install --prefix` anywhere gives plain paths.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(ORWIN_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(ORWIN_PC_${dir} "\\\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
foreach(pc orwin orwin_c)
  install(CODE "
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    set(ORWIN_PC_LIBDIR \"${ORWIN_PC_LIBDIR}\")
    set(ORWIN_PC_INCLUDEDIR \"${ORWIN_PC_INCLUDEDIR}\")
    set(ORWIN_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in\" \"${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc\" @ONLY)")
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
