# The command-line tests run the vqdm program itself.
add_dependencies(${exe} vqdm)
target_compile_definitions(${exe} PRIVATE VQDM_TOOL="$<TARGET_FILE:vqdm>")
add_dependencies(${exe} vqregsvr)
target_compile_definitions(${exe} PRIVATE VQREGSVR_TOOL="$<TARGET_FILE:vqregsvr>"
                                          VQ_PROJECT_VERSION="${VQDataMatrixLib_VERSION}")

# export --netcdf and import as xarray sees them (Debian's Python with xarray,
# netCDF4, dask and numpy: scripts/deps.sh).
add_test(NAME VqdmNetCdf COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/tools/netcdf_test.py
                                 $<TARGET_FILE:vqdm> ${CMAKE_CURRENT_BINARY_DIR}/vqdm-netcdf)
set_tests_properties(VqdmNetCdf PROPERTIES LABELS tools)
