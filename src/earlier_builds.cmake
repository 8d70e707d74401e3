# SPDX-License-Identifier: MIT
# orwin_c and orwin_c_macos: the earlier builds of the C interface alone.
# They compile the C-interface sources of `orwin` with switches for what the
# earlier builds lack or do differently (ORWIN_EARLIER_BUILD) and for the
# macOS build's select waiting (ORWIN_MACOS_BUILD). Only the public C
# interface is exported. The macOS variant is built on Linux too, so that its
# waiting code is compiled and tested here; a native macOS build makes it
# alone.
get_target_property(orwin_all_sources orwin SOURCES)
set(orwin_c_sources)
foreach(source IN LISTS orwin_all_sources)
  if(source MATCHES "^api/C/")
    list(APPEND orwin_c_sources ${PROJECT_SOURCE_DIR}/src/${source})
  endif()
endforeach()
list(APPEND orwin_c_sources ${PROJECT_SOURCE_DIR}/src/api/C/Orwin_earlier.cpp)

function(orwin_earlier_library name)
  add_library(${name} SHARED ${orwin_c_sources})
  add_library(orwin::${name} ALIAS ${name})
  target_include_directories(${name}
    PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    PRIVATE ${PROJECT_SOURCE_DIR}/src/api/C)
  target_compile_definitions(${name} PUBLIC ${ARGN})
  target_link_libraries(${name} PUBLIC Threads::Threads)
  if(NOT APPLE)
    target_link_libraries(${name} PRIVATE m rt)
  endif()
  set_target_properties(${name} PROPERTIES
    VERSION 34.86 SOVERSION 34
    C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endfunction()

# The macOS variant exports one function more than orwin_c.
file(READ ${PROJECT_SOURCE_DIR}/abi/orwin_c.map orwin_c_map)
string(REPLACE "global:\n" "global:\n    Orwin_request_stat;\n" orwin_c_macos_map "${orwin_c_map}")
file(WRITE ${PROJECT_BINARY_DIR}/orwin_c_macos.map "${orwin_c_macos_map}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/abi/orwin_c.map)

if(NOT APPLE)
  orwin_earlier_library(orwin_c ORWIN_EARLIER_BUILD)
  orwin_version_script(orwin_c ${PROJECT_SOURCE_DIR}/abi/orwin_c.map)
endif()
if(ORWIN_BUILD_MACOS_VARIANT)
  orwin_earlier_library(orwin_c_macos ORWIN_EARLIER_BUILD ORWIN_MACOS_BUILD)
  if(NOT APPLE)
    orwin_version_script(orwin_c_macos ${PROJECT_BINARY_DIR}/orwin_c_macos.map)
  endif()
endif()
