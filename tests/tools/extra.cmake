# The command-line tests run the vqdm program itself.
add_dependencies(${exe} vqdm)
target_compile_definitions(${exe} PRIVATE VQDM_TOOL="$<TARGET_FILE:vqdm>")
add_dependencies(${exe} vqregsvr)
target_compile_definitions(${exe} PRIVATE VQREGSVR_TOOL="$<TARGET_FILE:vqregsvr>"
                                          VQ_PROJECT_VERSION="${VQDataMatrixLib_VERSION}")
