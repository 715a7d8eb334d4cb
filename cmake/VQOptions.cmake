# Warning and sanitizer flags shared by every target of the project.
function(vq_apply_options target)
  target_compile_options(${target} INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wcast-align -Wformat=2 -Wundef
    -Wimplicit-fallthrough -Wnull-dereference)
  if(VQ_WERROR)
    target_compile_options(${target} INTERFACE -Werror)
  endif()
  # The lock annotations of platform/VQThreadSafety.h are checked by clang only.
  if(VQ_THREAD_SAFETY AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} INTERFACE -Wthread-safety)
  endif()
  if(VQ_SANITIZE)
    target_compile_options(${target} INTERFACE
      -fsanitize=${VQ_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(${target} INTERFACE -fsanitize=${VQ_SANITIZE})
  endif()
endfunction()

# Collects the sources of a folder; new files need no edit of a CMakeLists.
function(vq_glob_sources out)
  set(result)
  foreach(dir IN LISTS ARGN)
    file(GLOB found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND result ${found})
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()
