# Seeds and inputs kept from fuzzing Read, replayed by stream_test.cpp.
target_compile_definitions(${exe} PRIVATE VQ_PERSIST_CORPUS_DIR="${CMAKE_CURRENT_SOURCE_DIR}/persistence/corpus")
