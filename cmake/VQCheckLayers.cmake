# VQCheckLayers.cmake - fails when a file includes a folder that its own
# folder may not use (the table of cmake/VQLayerTable.cmake).
#
#   cmake -DVQ_SOURCE_DIR=<source root>
#         [-DVQ_FOLDERS=<folder>[,<folder>...]]   check these folders (default: all)
#         [-DVQ_STAMP=<file>]                     touched when the check passes
#         [-DVQ_DOCS=<docs/ARCHITECTURE.md>]      also compare the page's table
#         [-DVQ_CHECK_FILE=<file> -DVQ_CHECK_AS=<folder>]  check one file as if
#                                                 it were in <folder> (tests)
#         -P cmake/VQCheckLayers.cmake
#
# Every private include is written from the source root
# ("storage/DataBase.h") and the source root is on every target's include
# path, so include paths cannot stop a wrong include; this check does. It
# runs as a build step before each folder is compiled (cmake/VQLayers.cmake)
# and as the test LayerCheck.
#
# Each #include "..." or <...> of a file (.h, .hpp, .cpp, .inl, below the
# folder, subfolders included) is resolved as the compiler would find it in
# the source tree: a quoted name next to the including file first, then a
# name with a folder from the source root, then a bare name in the folders
# of the table (the including file's own first), then a public header of
# include/, which counts as a file of the layer the table assigns it to
# (VQ_PUBLIC_HEADERS_<folder>; include/ itself is checked header by header as
# those layers). An include that resolves to a file of the
# source tree outside the file's own folder and the folders the table lets
# it use is an error, reported as
#   <file>:<line>: error: ...
# Names that resolve to no file of the source tree (the standard library,
# the system, GoogleTest) are not the table's business.
#
# The table itself is checked too: every folder has a row, and uses only
# folders listed before it (so the arrows point down and there is no cycle).
cmake_minimum_required(VERSION 3.25)

include(${CMAKE_CURRENT_LIST_DIR}/VQLayerTable.cmake)

if(NOT VQ_SOURCE_DIR)
  message(FATAL_ERROR "VQCheckLayers.cmake: set VQ_SOURCE_DIR to the source root")
endif()
get_filename_component(VQ_SOURCE_DIR "${VQ_SOURCE_DIR}" ABSOLUTE)
set(VQ_TABLE_NAME "cmake/VQLayerTable.cmake")
set_property(GLOBAL PROPERTY VQ_LAYER_ERRORS 0)

function(vq_layer_error text)
  message(NOTICE "${text}")
  get_property(n GLOBAL PROPERTY VQ_LAYER_ERRORS)
  math(EXPR n "${n} + 1")
  set_property(GLOBAL PROPERTY VQ_LAYER_ERRORS ${n})
endfunction()

# "a, b, c" (or "nothing") for the messages.
function(vq_join out)
  if(ARGN)
    list(JOIN ARGN ", " text)
  else()
    set(text "nothing")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The table: rows for every folder, uses only of folders listed earlier.
set(seen "")
foreach(folder IN LISTS VQ_LAYERS)
  if(NOT DEFINED VQ_LAYER_USES_${folder})
    vq_layer_error("${VQ_TABLE_NAME}: error: ${folder}/ is a layer without VQ_LAYER_USES_${folder}")
  endif()
  foreach(used IN LISTS VQ_LAYER_USES_${folder})
    if(NOT used IN_LIST VQ_LAYERS)
      vq_layer_error("${VQ_TABLE_NAME}: error: ${folder}/ uses ${used}/, which is not a layer")
    elseif(NOT used IN_LIST seen)
      vq_layer_error("${VQ_TABLE_NAME}: error: ${folder}/ uses ${used}/, which is not listed before it: arrows point down only")
    endif()
  endforeach()
  list(APPEND seen ${folder})
endforeach()

# The layer a public header of include/ belongs to ("" when none).
function(vq_public_header_layer out name)
  foreach(folder IN LISTS VQ_LAYERS)
    if(name IN_LIST VQ_PUBLIC_HEADERS_${folder})
      set(${out} "${folder}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

# Every header of include/ has a layer, and every header the table names is there.
file(GLOB public_files RELATIVE "${VQ_SOURCE_DIR}/include" "${VQ_SOURCE_DIR}/include/*")
foreach(name IN LISTS public_files)
  vq_public_header_layer(layer "${name}")
  if(layer STREQUAL "")
    vq_layer_error("${VQ_TABLE_NAME}: error: include/${name} is not a public header of any layer (VQ_PUBLIC_HEADERS_<folder>)")
  endif()
endforeach()
foreach(folder IN LISTS VQ_LAYERS)
  foreach(name IN LISTS VQ_PUBLIC_HEADERS_${folder})
    if(NOT EXISTS "${VQ_SOURCE_DIR}/include/${name}")
      vq_layer_error("${VQ_TABLE_NAME}: error: the public header ${name} of ${folder}/ is not in include/")
    endif()
  endforeach()
endforeach()

# The table folder that the include `name` of a file in `dir` (whose own
# folder is `own`) resolves to: a folder name, "" for a name outside the
# source tree, or "<top>/" for a file of the tree outside the table's folders.
function(vq_resolve_include out dir own name quoted)
  set(candidates "")
  if(quoted)
    list(APPEND candidates "${dir}/${name}")
  endif()
  if(name MATCHES "/")
    list(APPEND candidates "${VQ_SOURCE_DIR}/${name}")
  else()
    foreach(folder IN LISTS own VQ_LAYERS)
      list(APPEND candidates "${VQ_SOURCE_DIR}/${folder}/${name}")
    endforeach()
    list(APPEND candidates "${VQ_SOURCE_DIR}/include/${name}")
  endif()
  foreach(candidate IN LISTS candidates)
    if(EXISTS "${candidate}" AND NOT IS_DIRECTORY "${candidate}")
      get_filename_component(path "${candidate}" ABSOLUTE)
      file(RELATIVE_PATH relative "${VQ_SOURCE_DIR}" "${path}")
      if(relative MATCHES "^\\.\\./")
        set(${out} "" PARENT_SCOPE)
      else()
        string(REGEX MATCH "^[^/]+" top "${relative}")
        if(top STREQUAL "include")
          string(REGEX REPLACE "^include/" "" header "${relative}")
          vq_public_header_layer(top "${header}")
          if(top STREQUAL "")
            set(top "include")
          endif()
        endif()
        if(top IN_LIST VQ_LAYERS)
          set(${out} "${top}" PARENT_SCOPE)
        else()
          set(${out} "${top}/" PARENT_SCOPE)
        endif()
      endif()
      return()
    endif()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

# Checks the includes of `file`, a file of folder `own`; `shown` is its name
# in the messages.
function(vq_check_file file own shown)
  get_filename_component(dir "${file}" DIRECTORY)
  file(READ "${file}" content)
  string(REGEX MATCHALL "(^|\n)[ \t]*#[ \t]*include[ \t]*(\"[^\"\n]+\"|<[^>\n]+>)" found "${content}")
  set(rest "${content}")
  set(line 1)
  foreach(match IN LISTS found)
    string(FIND "${rest}" "${match}" at)
    string(SUBSTRING "${rest}" 0 ${at} before)
    string(REGEX REPLACE "[^\n]" "" newlines "${before}")
    string(LENGTH "${newlines}" n)
    math(EXPR line "${line} + ${n}")
    if(match MATCHES "^\n")
      math(EXPR line "${line} + 1")
    endif()
    string(LENGTH "${match}" length)
    math(EXPR next "${at} + ${length}")
    string(SUBSTRING "${rest}" ${next} -1 rest)

    string(REGEX MATCH "[\"<]([^\">]+)[\">]" spelled "${match}")
    set(name "${CMAKE_MATCH_1}")
    if(spelled MATCHES "^\"")
      set(quoted TRUE)
    else()
      set(quoted FALSE)
    endif()
    vq_resolve_include(target "${dir}" "${own}" "${name}" ${quoted})
    if(target STREQUAL "" OR target STREQUAL own OR target IN_LIST VQ_LAYER_USES_${own})
      continue()
    endif()
    string(REGEX REPLACE "/$" "" target_name "${target}")
    vq_join(uses ${VQ_LAYER_USES_${own}})
    vq_layer_error("${shown}:${line}: error: #include ${spelled}: ${own}/ may not use ${target_name}/ (${own}/ may use ${uses}: ${VQ_TABLE_NAME}, docs/ARCHITECTURE.md \"Layout\")")
  endforeach()
endfunction()

function(vq_check_folder folder)
  if(NOT folder IN_LIST VQ_LAYERS)
    vq_layer_error("${VQ_TABLE_NAME}: error: ${folder}/ is not a layer of the table")
    return()
  endif()
  file(GLOB_RECURSE files LIST_DIRECTORIES false
    "${VQ_SOURCE_DIR}/${folder}/*.h" "${VQ_SOURCE_DIR}/${folder}/*.hpp"
    "${VQ_SOURCE_DIR}/${folder}/*.cpp" "${VQ_SOURCE_DIR}/${folder}/*.inl")
  foreach(name IN LISTS VQ_PUBLIC_HEADERS_${folder})
    list(APPEND files "${VQ_SOURCE_DIR}/include/${name}")
  endforeach()
  list(SORT files)
  foreach(file IN LISTS files)
    file(RELATIVE_PATH shown "${VQ_SOURCE_DIR}" "${file}")
    vq_check_file("${file}" ${folder} "${shown}")
  endforeach()
endfunction()

# The "depends on" column of the Layout table of docs/ARCHITECTURE.md: one
# row per folder of the table, listing the folders it uses (other words of
# the cell and remarks in parentheses are ignored).
function(vq_check_docs docs)
  file(RELATIVE_PATH shown "${VQ_SOURCE_DIR}" "${docs}")
  file(READ "${docs}" content)
  # Semicolons and brackets would split or join list items.
  string(REPLACE ";" "," content "${content}")
  string(REPLACE "[" "<" content "${content}")
  string(REPLACE "]" ">" content "${content}")
  string(FIND "${content}" "\n## Layout" start)
  if(start EQUAL -1)
    vq_layer_error("${shown}: error: no section \"## Layout\"")
    return()
  endif()
  string(SUBSTRING "${content}" ${start} -1 section)
  string(SUBSTRING "${section}" 1 -1 after)
  string(FIND "${after}" "\n## " end)
  if(NOT end EQUAL -1)
    string(SUBSTRING "${section}" 0 ${end} section)
  endif()
  string(REGEX MATCHALL "\n\\| `[a-z]+/` \\|[^\n]*" rows "${section}")
  set(described "")
  foreach(row IN LISTS rows)
    string(REGEX MATCH "^\n\\| `([a-z]+)/`" _ "${row}")
    set(folder "${CMAKE_MATCH_1}")
    if(NOT folder IN_LIST VQ_LAYERS)
      continue()
    endif()
    list(APPEND described ${folder})
    string(REGEX REPLACE "\\|[ \t]*$" "" row "${row}")
    string(REGEX MATCH "[^|]*$" cell "${row}")
    string(REGEX REPLACE "\\([^)]*\\)" "" cell "${cell}")
    string(REPLACE "`" "" cell "${cell}")
    string(REPLACE "," ";" items "${cell}")
    set(listed "")
    foreach(item IN LISTS items)
      string(STRIP "${item}" item)
      string(REGEX REPLACE "/$" "" item "${item}")
      if(item IN_LIST VQ_LAYERS)
        list(APPEND listed ${item})
      endif()
    endforeach()
    set(expected ${VQ_LAYER_USES_${folder}})
    set(sorted ${listed})
    list(SORT sorted)
    list(SORT expected)
    if(NOT "${sorted}" STREQUAL "${expected}")
      vq_join(says ${listed})
      vq_join(table ${VQ_LAYER_USES_${folder}})
      vq_layer_error("${shown}: error: the Layout row of ${folder}/ says it depends on ${says}, ${VQ_TABLE_NAME} says ${table}")
    endif()
  endforeach()
  foreach(folder IN LISTS VQ_LAYERS)
    if(NOT folder IN_LIST described)
      vq_layer_error("${shown}: error: the Layout table has no row of its own for ${folder}/")
    endif()
  endforeach()
endfunction()

if(VQ_CHECK_FILE)
  get_filename_component(file "${VQ_CHECK_FILE}" ABSOLUTE)
  if(NOT VQ_CHECK_AS IN_LIST VQ_LAYERS)
    message(FATAL_ERROR "VQCheckLayers.cmake: VQ_CHECK_AS must name a folder of the table")
  endif()
  vq_check_file("${file}" ${VQ_CHECK_AS} "${VQ_CHECK_FILE}")
else()
  if(VQ_FOLDERS)
    string(REPLACE "," ";" folders "${VQ_FOLDERS}")
  else()
    set(folders ${VQ_LAYERS})
  endif()
  foreach(folder IN LISTS folders)
    vq_check_folder(${folder})
  endforeach()
endif()
if(VQ_DOCS)
  vq_check_docs("${VQ_DOCS}")
endif()

get_property(errors GLOBAL PROPERTY VQ_LAYER_ERRORS)
if(errors GREATER 0)
  message(FATAL_ERROR "${errors} violation(s) of the layering: a folder may include only its own files and those of the folders ${VQ_TABLE_NAME} lets it use (docs/ARCHITECTURE.md, \"Layout\").")
endif()
if(VQ_STAMP)
  file(TOUCH "${VQ_STAMP}")
endif()
