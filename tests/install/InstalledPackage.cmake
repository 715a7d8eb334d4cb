# The test InstalledPackage (cmake -P): installs the build into a fresh prefix
# and uses it from outside the tree, the two ways README "Install and use"
# documents: a CMake project with find_package(VQDataMatrixLib), and the same
# source compiled by hand with the flags of `pkg-config --cflags --libs
# vqdatamatrixlib`. Both programs must run. Then a client linked to the
# runtime only finds the class through the registry store exactly while the
# installed vqregsvr has the installed library registered. It also reads the
# installed files' dynamic sections: a versioned SONAME, and run paths relative
# to $ORIGIN, which name nothing of the build tree.
#
# Input: VQ_BUILD_DIR, VQ_WORK_DIR, VQ_CONSUMER_DIR, VQ_GENERATOR, VQ_CXX,
# VQ_SANITIZE (empty, or the sanitizers the build uses: the client is built
# with them too, since instrumented libraries need the runtime in the
# program), VQ_SOVERSION, VQ_LIBRARIES, VQ_TOOLS (the tools installed),
# VQ_PKG_CONFIG, VQ_READELF, VQ_PYTHON (the interpreter the Python module is
# built for; empty when there is none, or the build is instrumented, which the
# interpreter cannot load by itself); the lists are separated by commas.
cmake_minimum_required(VERSION 3.25)
string(REPLACE "," ";" VQ_LIBRARIES "${VQ_LIBRARIES}")
string(REPLACE "," ";" VQ_TOOLS "${VQ_TOOLS}")

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${ARGN}\n${out}${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${VQ_WORK_DIR}/prefix)
file(REMOVE_RECURSE ${VQ_WORK_DIR})
run("cmake --install" ${CMAKE_COMMAND} --install ${VQ_BUILD_DIR} --prefix ${prefix})

# The library folder is whatever GNUInstallDirs chose (lib, lib64, ...): the
# one holding the pkg-config module.
file(GLOB_RECURSE pc_files ${prefix}/*/vqdatamatrixlib.pc)
list(LENGTH pc_files count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one installed vqdatamatrixlib.pc, found: ${pc_files}")
endif()
get_filename_component(pcdir ${pc_files} DIRECTORY)
get_filename_component(libdir ${pcdir} DIRECTORY)

function(check_dynamic_section file expected_soname expected_runpath)
  run("readelf ${file}" ${VQ_READELF} -d ${file})
  string(REGEX MATCH "Library soname: \\[([^]]*)\\]" ignored "${run_output}")
  if(NOT "${CMAKE_MATCH_1}" STREQUAL "${expected_soname}")
    message(FATAL_ERROR "${file}: SONAME '${CMAKE_MATCH_1}', expected '${expected_soname}'")
  endif()
  string(REGEX MATCH "Library (runpath|rpath): \\[([^]]*)\\]" ignored "${run_output}")
  if(NOT "${CMAKE_MATCH_2}" STREQUAL "${expected_runpath}")
    message(FATAL_ERROR "${file}: run path '${CMAKE_MATCH_2}', expected '${expected_runpath}'")
  endif()
endfunction()

foreach(name IN LISTS VQ_LIBRARIES)
  set(soname lib${name}.so.${VQ_SOVERSION})
  check_dynamic_section(${libdir}/${soname} ${soname} "$ORIGIN")
  if(NOT EXISTS ${libdir}/lib${name}.so)
    message(FATAL_ERROR "lib${name}.so (the name clients link with) is not installed")
  endif()
endforeach()
file(RELATIVE_PATH bin_to_lib ${prefix}/bin ${libdir})
foreach(tool IN LISTS VQ_TOOLS)
  check_dynamic_section(${prefix}/bin/${tool} "" "$ORIGIN/${bin_to_lib}")
endforeach()

set(cxx_flags "")
if(VQ_SANITIZE)
  set(cxx_flags "-fsanitize=${VQ_SANITIZE}")
endif()

# 1. find_package.
run("configuring the consumer" ${CMAKE_COMMAND} -S ${VQ_CONSUMER_DIR} -B ${VQ_WORK_DIR}/cmake -G ${VQ_GENERATOR}
    -DCMAKE_CXX_COMPILER=${VQ_CXX} -DCMAKE_BUILD_TYPE=Debug -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF "-DCMAKE_CXX_FLAGS=${cxx_flags}")
run("building the consumer" ${CMAKE_COMMAND} --build ${VQ_WORK_DIR}/cmake)
run("the consumer built with find_package" ${VQ_WORK_DIR}/cmake/consumer)
message(STATUS "find_package: ${run_output}")

# 2. pkg-config, and the compiler called directly.
set(ENV{PKG_CONFIG_PATH} ${pcdir})
run("pkg-config" ${VQ_PKG_CONFIG} --cflags --libs vqdatamatrixlib)
separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
separate_arguments(sanitize_flags UNIX_COMMAND "${cxx_flags}")
run("compiling the consumer with the pkg-config flags" ${VQ_CXX} -std=c++20 ${sanitize_flags}
    ${VQ_CONSUMER_DIR}/consumer.cpp ${pc_flags} -o ${VQ_WORK_DIR}/consumer_pkgconfig)
# The prefix is not one the loader searches, as for any private installation.
set(ENV{LD_LIBRARY_PATH} ${libdir})
run("the consumer built with pkg-config" ${VQ_WORK_DIR}/consumer_pkgconfig)
message(STATUS "pkg-config: ${run_output}")
unset(ENV{LD_LIBRARY_PATH})

# 3. The registration step, for processes not linked to the library: the
# client linked to the runtime only finds the class once the installed tool
# has entered the installed library in the store (one of the test's own), and
# no longer after it was removed.
if("vqregsvr" IN_LIST VQ_TOOLS)
  set(ENV{VQ_REGISTRY} ${VQ_WORK_DIR}/registry)
  set(client ${VQ_WORK_DIR}/cmake/registry_consumer)
  foreach(step IN ITEMS "before registration:2" "register:0" "unregister:2")
    string(REGEX MATCH "^(.*):(.*)$" ignored "${step}")
    set(action "${CMAKE_MATCH_1}")
    set(expected "${CMAKE_MATCH_2}")
    if(action STREQUAL "register")
      run("registering the installed library" ${prefix}/bin/vqregsvr -s ${libdir}/libVQDataMatrixLib.so)
    elseif(action STREQUAL "unregister")
      run("unregistering it" ${prefix}/bin/vqregsvr -u -s ${libdir}/libVQDataMatrixLib.so)
    endif()
    execute_process(COMMAND ${client} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT "${rc}" STREQUAL "${expected}")
      message(FATAL_ERROR "registry_consumer ${action}: exit code ${rc}, expected ${expected}\n${out}${err}")
    endif()
  endforeach()
endif()

# 4. The Python module, imported from the installed tree: its run path finds
# the installed libraries.
if(VQ_PYTHON)
  file(GLOB_RECURSE modules ${prefix}/*/vqdatamatrix*.so)
  list(LENGTH modules count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "expected one installed Python module, found: ${modules}")
  endif()
  get_filename_component(site ${modules} DIRECTORY)
  set(ENV{PYTHONPATH} ${site})
  run("importing the installed Python module" ${VQ_PYTHON} -c
      "import vqdatamatrix as vq; assert vq.Matrix((2, 3), 4)[1, 2].shape == (1, 4)")
endif()
