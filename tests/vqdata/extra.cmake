# Inputs kept from fuzzing LoadFromStream, replayed by persist_test.cpp.
target_compile_definitions(${exe} PRIVATE VQDATA_CORPUS_DIR="${CMAKE_CURRENT_SOURCE_DIR}/vqdata/corpus")
