// The lock count of the VQDataMatrixLib library (core/VQModule.h).
#include "core/VQModule.h"

constinit vq::ModuleCount vq::g_MatrixModule;
