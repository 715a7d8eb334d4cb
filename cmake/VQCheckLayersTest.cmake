# VQCheckLayersTest.cmake - the test LayerCheckRejectsWrongIncludes: the
# layer check (cmake/VQCheckLayers.cmake) refuses the includes the table
# forbids, with the file, the line and the two folders, and accepts the ones
# it allows; it also refuses a docs/ARCHITECTURE.md whose table differs.
#
#   cmake -DVQ_SOURCE_DIR=<source root> -DVQ_WORK_DIR=<scratch folder>
#         -P cmake/VQCheckLayersTest.cmake
cmake_minimum_required(VERSION 3.25)

if(NOT VQ_SOURCE_DIR OR NOT VQ_WORK_DIR)
  message(FATAL_ERROR "set VQ_SOURCE_DIR and VQ_WORK_DIR")
endif()
file(REMOVE_RECURSE "${VQ_WORK_DIR}")
file(MAKE_DIRECTORY "${VQ_WORK_DIR}")
set(failures 0)

function(run_check out_result out_output)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DVQ_SOURCE_DIR=${VQ_SOURCE_DIR} ${ARGN}
            -P ${CMAKE_CURRENT_LIST_DIR}/VQCheckLayers.cmake
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  set(${out_result} "${result}" PARENT_SCOPE)
  set(${out_output} "${output}" PARENT_SCOPE)
endfunction()

function(fail text)
  message(NOTICE "FAILED: ${text}")
  math(EXPR n "${failures} + 1")
  set(failures ${n} PARENT_SCOPE)
endfunction()

# check_file(<name> <folder> <file content> [EXPECT <text>...]): the file,
# checked as a file of <folder>, fails with each <text> in the output, or
# passes when no text is expected.
function(check_file name folder content)
  cmake_parse_arguments(PARSE_ARGV 3 arg "" "" "EXPECT")
  set(file "${VQ_WORK_DIR}/${name}")
  file(WRITE "${file}" "${content}")
  run_check(result output -DVQ_CHECK_FILE=${file} -DVQ_CHECK_AS=${folder})
  if(arg_EXPECT)
    if(result EQUAL 0)
      fail("${name} as a file of ${folder}/ passed the check:\n${output}")
    endif()
    foreach(text IN LISTS arg_EXPECT)
      string(FIND "${output}" "${file}:${text}" at)
      if(at EQUAL -1)
        fail("${name} as a file of ${folder}/: no \"${file}:${text}\" in\n${output}")
      endif()
    endforeach()
  elseif(NOT result EQUAL 0)
    fail("${name} as a file of ${folder}/ failed the check:\n${output}")
  endif()
  set(failures ${failures} PARENT_SCOPE)
endfunction()

# The faults the layering was made to end.
check_file(storage_uses_component.cpp storage
  "// storage reporting errors through component\n#include \"component/VQDispatch.h\"\n#include \"VQDataMatrixLib.h\"\n"
  EXPECT "2: error: #include \"component/VQDispatch.h\": storage/ may not use component/"
         "3: error: #include \"VQDataMatrixLib.h\": storage/ may not use component/")
check_file(memory_uses_storage.h memory
  "#pragma once\n\n#include <vector>\n  #  include \"storage/DataBase.h\"\n#include <matrix/VQDataMatrix.h>\n"
  EXPECT "4: error: #include \"storage/DataBase.h\": memory/ may not use storage/"
         "5: error: #include <matrix/VQDataMatrix.h>: memory/ may not use matrix/")
check_file(component_uses_matrix.cpp component
  "#include \"matrix/VQDataMatrix.h\"\n"
  EXPECT "1: error: #include \"matrix/VQDataMatrix.h\": component/ may not use matrix/")
check_file(matrix_uses_slicing.cpp matrix
  "#include \"storage/DataBase.h\"\n#include \"slicing/BandFinder.h\"\n#include \"persistence/StreamFields.h\"\n"
  EXPECT "2: error: #include \"slicing/BandFinder.h\": matrix/ may not use slicing/"
         "3: error: #include \"persistence/StreamFields.h\": matrix/ may not use persistence/")
check_file(core_uses_trace_and_tests.cpp core
  "#include \"trace/VQTrace.h\"\n#include \"support/TraceCapture.h\"\n#include \"tests/support/TraceCapture.h\"\n"
  EXPECT "3: error: #include \"tests/support/TraceCapture.h\": core/ may not use tests/")
check_file(platform_uses_dataitem.h platform
  "#include \"VQKernel.h\"\n#include \"VQData.h\"\n"
  EXPECT "2: error: #include \"VQData.h\": platform/ may not use dataitem/")
# What the table allows: own folder by path and by bare name, lower folders,
# public headers by bare name, names outside the tree.
check_file(storage_allowed.cpp storage
  "#include \"storage/MultiData.h\"\n#include \"DataBase.h\"\n#include \"core/VQErrorReporting.h\"\n#include \"memory/FileCache.h\"\n#include \"VQData.h\"\n#include \"VQPlatform.h\"\n#include <gtest/gtest.h>\n#include <memory>\n")
check_file(slicing_allowed.cpp slicing
  "#include \"matrix/VQDataMatrix.h\"\n#include \"storage/DataBase.h\"\n#include \"VQDataMatrixLib.h\"\n")

# A page whose table differs from cmake/VQLayerTable.cmake.
file(WRITE "${VQ_WORK_DIR}/ARCHITECTURE.md"
  "# Architecture\n\n## Layout\n\n| folder | what | built into | depends on |\n|---|---|---|---|\n"
  "| `memory/` | the swap file | libVQDataMatrixLib.so | platform, trace, storage |\n\n## Build\n\n"
  "| `core/` | a row outside the Layout section | | platform, trace |\n")
run_check(result output -DVQ_FOLDERS=core -DVQ_DOCS=${VQ_WORK_DIR}/ARCHITECTURE.md)
foreach(text IN ITEMS
    "the Layout row of memory/ says it depends on platform, trace, storage, cmake/VQLayerTable.cmake says platform, trace"
    "the Layout table has no row of its own for core/")
  string(FIND "${output}" "${text}" at)
  if(result EQUAL 0 OR at EQUAL -1)
    fail("the differing page: no \"${text}\" in\n${output}")
  endif()
endforeach()

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} case(s) of the layer check failed")
endif()
message(STATUS "the layer check refuses every wrong include of the cases and accepts the allowed ones")
