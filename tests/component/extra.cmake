# The registration tests run RegistryClient, a program linked to the platform
# library only, and the vqregsvr tool as child processes, and read the library
# files themselves; they learn the paths from compile definitions.
add_executable(vq_registry_client ${CMAKE_CURRENT_LIST_DIR}/client/RegistryClient.cpp)
target_link_libraries(vq_registry_client PRIVATE vqplatform vq_build_options ${CMAKE_DL_LIBS})
add_dependencies(${exe} vq_registry_client vqregsvr)
target_compile_definitions(${exe} PRIVATE
  VQ_MATRIX_LIBRARY="$<TARGET_FILE:VQDataMatrixLib>"
  VQ_DATA_LIBRARY="$<TARGET_FILE:VQData>"
  VQ_PLATFORM_LIBRARY="$<TARGET_FILE:vqplatform>"
  VQ_REGISTRY_CLIENT="$<TARGET_FILE:vq_registry_client>"
  VQ_REGSVR_TOOL="$<TARGET_FILE:vqregsvr>")
