# What `cmake --install` puts where, and how a client finds it: the shared
# libraries with versioned SONAMEs, the public headers, the tools, the CMake
# package (find_package(VQDataMatrixLib)) and the pkg-config module
# (vqdatamatrixlib). docs/ARCHITECTURE.md ("Install") describes the result.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VQ_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/VQDataMatrixLib)
# The headers get a folder of their own: names like VQKernel.h are too general
# to sit directly in a shared include directory.
set(VQ_INSTALL_HEADERDIR ${CMAKE_INSTALL_INCLUDEDIR}/VQDataMatrixLib)

# Installed files find each other relative to where they are, so the tree can
# be moved or unpacked under any prefix: the tools look in the library folder
# beside their own, the libraries in their own folder. Run paths into the
# build tree stay in the build tree. A packager who wants other run paths (or
# none: CMAKE_SKIP_INSTALL_RPATH) sets CMAKE_INSTALL_RPATH, and this is skipped.
# Must run before the targets are made, which take CMAKE_INSTALL_RPATH then.
if(NOT DEFINED CMAKE_INSTALL_RPATH)
  file(RELATIVE_PATH vq_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set(CMAKE_INSTALL_RPATH "$ORIGIN/${vq_bin_to_lib}")
  set(VQ_LIBRARY_INSTALL_RPATH "$ORIGIN")
endif()

# Called once every target exists.
function(vq_install_package)
  # The libraries a client loads. The object libraries vq_<folder> are linked
  # into VQDataMatrixLib privately, and vq_internal / vq_build_options are
  # private to each target, so none of them is part of the export.
  set(libraries vqplatform vqtrace VQDataMatrixLib)
  if(TARGET VQData)
    list(APPEND libraries VQData)
  endif()
  # One SONAME per major version: a minor release replaces the file, and
  # clients linked before keep loading it; a new major version installs beside
  # the old one.
  set_target_properties(${libraries} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  if(DEFINED VQ_LIBRARY_INSTALL_RPATH)
    set_target_properties(${libraries} PROPERTIES INSTALL_RPATH "${VQ_LIBRARY_INSTALL_RPATH}")
  endif()

  install(TARGETS ${libraries} EXPORT VQDataMatrixLibTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development)

  # Every public header the layer table knows, and nothing else: a header of
  # include/ without a layer already fails the layer check, so a new public
  # header is installed as soon as the build accepts it.
  set(headers "")
  foreach(layer IN LISTS VQ_LAYERS)
    foreach(name IN LISTS VQ_PUBLIC_HEADERS_${layer})
      list(APPEND headers ${PROJECT_SOURCE_DIR}/include/${name})
    endforeach()
  endforeach()
  install(FILES ${headers} DESTINATION ${VQ_INSTALL_HEADERDIR} COMPONENT Development)

  if(VQ_BUILD_TOOLS)
    install(TARGETS vqdm vqregsvr RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
  endif()

  install(EXPORT VQDataMatrixLibTargets NAMESPACE VQDataMatrixLib:: DESTINATION ${VQ_INSTALL_CMAKEDIR}
    COMPONENT Development)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VQDataMatrixLibConfig.cmake.in
    ${PROJECT_BINARY_DIR}/VQDataMatrixLibConfig.cmake INSTALL_DESTINATION ${VQ_INSTALL_CMAKEDIR})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/VQDataMatrixLibConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/VQDataMatrixLibConfig.cmake
                ${PROJECT_BINARY_DIR}/VQDataMatrixLibConfigVersion.cmake
    DESTINATION ${VQ_INSTALL_CMAKEDIR} COMPONENT Development)

  # The pkg-config module names its folders relative to its own place
  # (${pcfiledir}), so `cmake --install --prefix` anywhere gives a working
  # module; folders given as absolute paths are used as they are.
  set(pcdir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(VQ_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  else()
    file(RELATIVE_PATH pc_to_prefix ${CMAKE_INSTALL_PREFIX}/${pcdir} ${CMAKE_INSTALL_PREFIX})
    string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
    set(VQ_PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
  endif()
  foreach(dir LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
      set(VQ_PC_${dir} "${CMAKE_INSTALL_${dir}}")
    else()
      set(VQ_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
    endif()
  endforeach()
  # A client links what it names: the matrix library, the data item library
  # (CLSID_VQData, the item's interfaces), the runtime (CoInitializeEx, BSTRs,
  # streams) and the trace library, as the CMake target brings them.
  set(VQ_PC_LIBS "-lVQDataMatrixLib")
  if(TARGET VQData)
    string(APPEND VQ_PC_LIBS " -lVQData")
  endif()
  string(APPEND VQ_PC_LIBS " -lvqtrace -lvqplatform")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/vqdatamatrixlib.pc.in ${PROJECT_BINARY_DIR}/vqdatamatrixlib.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/vqdatamatrixlib.pc DESTINATION ${pcdir} COMPONENT Development)
endfunction()
