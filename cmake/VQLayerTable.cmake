# The layers of the source tree: for each folder, the folders its files may
# include besides their own. Arrows point down only; lower folders first.
#
# This is the one table of the layering. The build uses it twice: each folder
# of libVQDataMatrixLib.so is an object library linked to exactly the targets
# of the folders listed here (cmake/VQLayers.cmake), and before a folder is
# compiled cmake/VQCheckLayers.cmake fails the build on any include of a
# folder not listed here. docs/ARCHITECTURE.md ("Layout", column "depends
# on") shows the same table; the test LayerCheck fails when the two differ.
#
# Included by the build and by the checker script (cmake -P), so it only sets
# variables.
set(VQ_LAYERS platform trace dataitem vqdata core memory storage component matrix slicing persistence)

# The public headers, in include/ (what a client may include): each is a file
# of the layer that defines what it declares, checked and counted as such.
# dataitem/ is the layer of the data item's public header and of the internal
# interface the matrix library uses on items (dataitem/VQDataView.h).
set(VQ_PUBLIC_HEADERS_platform VQComObject.h VQComRuntime.h VQComSupport.h VQKernel.h VQOleAuto.h VQPlatform.h
    VQPlatformTypes.h VQResources.h VQStreamBase.h VQStreams.h VQThreadSafety.h VQWin32Compat.h)
set(VQ_PUBLIC_HEADERS_dataitem VQData.h)
set(VQ_PUBLIC_HEADERS_component VQDataMatrixLib.h)

set(VQ_LAYER_USES_platform "")
set(VQ_LAYER_USES_trace platform)
set(VQ_LAYER_USES_dataitem platform)
set(VQ_LAYER_USES_vqdata platform dataitem trace)
set(VQ_LAYER_USES_core platform trace)
set(VQ_LAYER_USES_memory platform trace)
set(VQ_LAYER_USES_storage platform trace dataitem core memory)
set(VQ_LAYER_USES_component platform trace dataitem core memory)
set(VQ_LAYER_USES_matrix platform trace dataitem core memory storage component)
set(VQ_LAYER_USES_slicing platform trace dataitem core memory storage component matrix)
set(VQ_LAYER_USES_persistence platform trace dataitem core memory storage component matrix)
