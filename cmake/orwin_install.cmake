# Installation: the three libraries with versioned names, the public headers
# (never the internal ones), the tools and the simulator with their manual
# pages, a CMake package (orwin::orwin, orwin::orwin_c, orwin::orwin_c_macos),
# pkg-config files, and a Debian package made by `cpack -G DEB`.
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
# build), relative to where they are installed so that any prefix works.
file(RELATIVE_PATH ORWIN_PC_PREFIX_FROM_LIBDIR ${CMAKE_INSTALL_FULL_LIBDIR} ${CMAKE_INSTALL_PREFIX})
foreach(pc orwin orwin_c)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

set(CPACK_PACKAGE_NAME orwin)
set(CPACK_PACKAGE_VENDOR "orwin project")
set(CPACK_PACKAGE_CONTACT "orwin project <orwin@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Client library, tools and simulator for Orwin SpaceWire interface units")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}.0)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The object-layer headers include the JSON library's.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "nlohmann-json3-dev")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/cmake/debian/postinst ${PROJECT_SOURCE_DIR}/cmake/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
