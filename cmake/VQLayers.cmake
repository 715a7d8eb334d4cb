# The layering in the build: targets made from the table of
# cmake/VQLayerTable.cmake, and the include check that enforces it.
include(${CMAKE_CURRENT_LIST_DIR}/VQLayerTable.cmake)

# The target that stands for each folder of the table.
set(VQ_LAYER_TARGET_platform vqplatform)
set(VQ_LAYER_TARGET_trace vqtrace)
set(VQ_LAYER_TARGET_dataitem vq_dataitem)
set(VQ_LAYER_TARGET_vqdata VQData)
foreach(folder IN ITEMS core memory storage component matrix slicing persistence)
  set(VQ_LAYER_TARGET_${folder} vq_${folder})
endforeach()

# vq_layer_check(<target> <folder>...): <target> is built only after the
# includes of each <folder> passed the check. The check of a folder runs again
# whenever one of its files, the table or the checker changes; a wrong include
# fails the build with "<file>:<line>: error: #include ...: <folder>/ may not
# use <other>/".
function(vq_layer_check target)
  foreach(folder IN LISTS ARGN)
    if(NOT TARGET vq_layer_check_${folder})
      file(GLOB_RECURSE files CONFIGURE_DEPENDS
        ${PROJECT_SOURCE_DIR}/${folder}/*.h ${PROJECT_SOURCE_DIR}/${folder}/*.hpp
        ${PROJECT_SOURCE_DIR}/${folder}/*.cpp ${PROJECT_SOURCE_DIR}/${folder}/*.inl)
      foreach(name IN LISTS VQ_PUBLIC_HEADERS_${folder})
        list(APPEND files ${PROJECT_SOURCE_DIR}/include/${name})
      endforeach()
      set(stamp ${PROJECT_BINARY_DIR}/layer_check/${folder}.ok)
      add_custom_command(OUTPUT ${stamp}
        COMMAND ${CMAKE_COMMAND} -DVQ_SOURCE_DIR=${PROJECT_SOURCE_DIR} -DVQ_FOLDERS=${folder}
                -DVQ_STAMP=${stamp} -P ${PROJECT_SOURCE_DIR}/cmake/VQCheckLayers.cmake
        DEPENDS ${files} ${PROJECT_SOURCE_DIR}/cmake/VQCheckLayers.cmake
                ${PROJECT_SOURCE_DIR}/cmake/VQLayerTable.cmake
        COMMENT "Checking the includes of ${folder}/ against the layer table"
        VERBATIM)
      add_custom_target(vq_layer_check_${folder} DEPENDS ${stamp})
    endif()
    add_dependencies(${target} vq_layer_check_${folder})
  endforeach()
endfunction()

# vq_add_layer_objects(<folder> [PRIVATE <libs>...]): the object library
# vq_<folder> of the folder's sources, compiled with the usage requirements
# of exactly the folders the table lets it use, after its include check.
function(vq_add_layer_objects folder)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "PRIVATE")
  vq_glob_sources(sources ${folder})
  add_library(vq_${folder} OBJECT ${sources})
  set(uses "")
  foreach(used IN LISTS VQ_LAYER_USES_${folder})
    list(APPEND uses ${VQ_LAYER_TARGET_${used}})
  endforeach()
  target_link_libraries(vq_${folder} PUBLIC ${uses} PRIVATE vq_internal ${arg_PRIVATE})
  vq_layer_check(vq_${folder} ${folder})
endfunction()

# The tests of the layering: the whole tree and docs/ARCHITECTURE.md against
# the table (LayerCheck), and the checker against files it must refuse
# (LayerCheckRejectsWrongIncludes).
function(vq_add_layer_tests)
  add_test(NAME LayerCheck
    COMMAND ${CMAKE_COMMAND} -DVQ_SOURCE_DIR=${PROJECT_SOURCE_DIR}
            -DVQ_DOCS=${PROJECT_SOURCE_DIR}/docs/ARCHITECTURE.md
            -P ${PROJECT_SOURCE_DIR}/cmake/VQCheckLayers.cmake)
  add_test(NAME LayerCheckRejectsWrongIncludes
    COMMAND ${CMAKE_COMMAND} -DVQ_SOURCE_DIR=${PROJECT_SOURCE_DIR}
            -DVQ_WORK_DIR=${PROJECT_BINARY_DIR}/layer_check/selftest
            -P ${PROJECT_SOURCE_DIR}/cmake/VQCheckLayersTest.cmake)
  set_tests_properties(LayerCheck LayerCheckRejectsWrongIncludes PROPERTIES LABELS layers)
endfunction()
