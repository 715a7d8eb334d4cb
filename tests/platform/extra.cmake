# Component libraries that the runtime tests load through the registry store
# with dlopen. They are not linked into the test program; it learns their
# paths from compile definitions.
add_library(vq_runtime_testlib SHARED ${CMAKE_CURRENT_LIST_DIR}/testlib/RuntimeTestLibrary.cpp)
add_library(vq_runtime_testlib_noexport SHARED ${CMAKE_CURRENT_LIST_DIR}/testlib/NoExportLibrary.cpp)
foreach(lib vq_runtime_testlib vq_runtime_testlib_noexport)
  target_link_libraries(${lib} PRIVATE vq_internal)
  target_include_directories(${lib} PRIVATE ${PROJECT_SOURCE_DIR}/include)
  # g++ marks some template statics as unique symbols, which would keep the
  # library loaded after dlclose and hide whether the runtime unloads it.
  target_compile_options(${lib} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
endforeach()
add_dependencies(${exe} vq_runtime_testlib vq_runtime_testlib_noexport)
target_include_directories(${exe} PRIVATE ${CMAKE_CURRENT_LIST_DIR}/testlib)
target_compile_definitions(${exe} PRIVATE
  VQ_RUNTIME_TESTLIB="$<TARGET_FILE:vq_runtime_testlib>"
  VQ_RUNTIME_TESTLIB_NOEXPORT="$<TARGET_FILE:vq_runtime_testlib_noexport>")
# Ordinary Linux code on the public headers (tests/platform/headers): built
# like a client, with include/ only on its path, so that the suite does not
# build when a public header takes one of its names.
add_library(vq_plain_linux_program OBJECT ${CMAKE_CURRENT_LIST_DIR}/headers/PlainLinuxProgram.cpp)
target_link_libraries(vq_plain_linux_program PRIVATE vqplatform vq_build_options)
add_dependencies(${exe} vq_plain_linux_program)
