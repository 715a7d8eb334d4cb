# Looks for what the Python module needs: the interpreter with its headers,
# and pybind11. Sets VQ_PYTHON_FOUND. Included by the top-level project only
# (a parent project that adds this one gets the libraries alone).
#
# Debian's interpreter comes first: the module is built for one interpreter,
# and a python3 earlier on PATH (pyenv, a virtual environment) may lack the
# Debian packages (numpy, pytest) it and its tests use. Pass
# -DPython3_EXECUTABLE=... for another.
if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "The interpreter the Python module is built for")
endif()
find_package(Python3 COMPONENTS Interpreter Development.Module QUIET)
set(VQ_PYTHON_FOUND OFF)
if(Python3_FOUND)
  find_package(pybind11 CONFIG QUIET)
  if(pybind11_FOUND)
    set(VQ_PYTHON_FOUND ON)
  endif()
endif()
