# SPDX-License-Identifier: MIT
# The Python package is built when Debian's Python with its development files
# and pybind11 are present (ORWIN_BUILD_PYTHON, on by default then). The
# sanitizer and fuzzing builds leave it out: an instrumented extension cannot
# be loaded by a plain interpreter.
if(ORWIN_SANITIZE OR ORWIN_SANITIZE_THREAD OR ORWIN_ENABLE_FUZZING)
  set(orwin_python_possible OFF)
else()
  if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
    set(Python3_EXECUTABLE /usr/bin/python3)
  endif()
  find_package(Python3 COMPONENTS Interpreter Development.Module QUIET)
  set(PYBIND11_FINDPYTHON ON)
  find_package(pybind11 CONFIG QUIET)
  if(Python3_FOUND AND pybind11_FOUND)
    set(orwin_python_possible ON)
  else()
    set(orwin_python_possible OFF)
  endif()
endif()
option(ORWIN_BUILD_PYTHON "Build the Python package orwin" ${orwin_python_possible})
if(ORWIN_BUILD_PYTHON)
  if(NOT orwin_python_possible)
    message(FATAL_ERROR "ORWIN_BUILD_PYTHON needs python3-dev and pybind11-dev, and no sanitizer or fuzzing build")
  endif()
  add_subdirectory(python)
else()
  message(STATUS "orwin: Python package not built")
endif()
