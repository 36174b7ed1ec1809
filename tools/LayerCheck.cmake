# The layer check of one library, run by the build (cmake -P) before the library compiles: every
# `#include "folder/..."` in the library's own sources must name a folder the library may use, and not a header that
# belongs to a library above it (sitebook/ holds headers of two libraries). Any include against the direction fails
# the build with its file, line and the rule it breaks; otherwise the stamp is written.
#
#   cmake -DLAYER_RULES=<rules file> -DLAYER_STAMP=<stamp> -P LayerCheck.cmake
#
# The rules file (written by the top CMakeLists.txt) sets LAYER_LIBRARY, LAYER_SOURCE_DIR, LAYER_FOLDERS (the folders
# it may use), LAYER_FILES (its own sources) and LAYER_FOREIGN (pairs "folder/header=library" of the headers in those
# folders that belong to libraries it may not use).
cmake_minimum_required(VERSION 3.25)

if(NOT LAYER_RULES OR NOT LAYER_STAMP)
    message(FATAL_ERROR "LayerCheck.cmake: LAYER_RULES and LAYER_STAMP must be given")
endif()
include(${LAYER_RULES})

set(allowed "")
foreach(folder IN LISTS LAYER_FOLDERS)
    string(APPEND allowed " ${folder}/")
endforeach()

set(offences "")
foreach(file IN LISTS LAYER_FILES)
    if(NOT file MATCHES "\\.(h|hpp|cpp|cc)$")
        continue()
    endif()
    file(READ ${file} text)
    # Only a file with a folder include is read line by line.
    if(NOT text MATCHES "#[ \t]*include[ \t]*\"[^\"/]+/")
        continue()
    endif()
    # One list entry per line: the characters that would split or bracket a list entry go first.
    string(REGEX REPLACE "[];[\\\\]" "_" text "${text}")
    string(REPLACE "\n" ";" lines "${text}")
    file(RELATIVE_PATH shown ${LAYER_SOURCE_DIR} ${file})
    set(number 0)
    foreach(line IN LISTS lines)
        math(EXPR number "${number} + 1")
        if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"(([^\"/]+)/[^\"]+)\"")
            continue()
        endif()
        set(header ${CMAKE_MATCH_1})
        set(folder ${CMAKE_MATCH_2})
        # Only the project's own top folders are layers; anything else is left to the compiler.
        if(NOT IS_DIRECTORY ${LAYER_SOURCE_DIR}/${folder})
            continue()
        endif()
        if(NOT folder IN_LIST LAYER_FOLDERS)
            string(APPEND offences "  ${shown}:${number}: includes \"${header}\", but ${LAYER_LIBRARY} may include only"
                "${allowed}\n")
            continue()
        endif()
        foreach(pair IN LISTS LAYER_FOREIGN)
            if(pair MATCHES "^([^=]+)=(.+)$" AND CMAKE_MATCH_1 STREQUAL header)
                string(APPEND offences "  ${shown}:${number}: includes \"${header}\", which belongs to ${CMAKE_MATCH_2},"
                    " a layer above ${LAYER_LIBRARY}\n")
            endif()
        endforeach()
    endforeach()
endforeach()

if(offences)
    file(REMOVE ${LAYER_STAMP})
    message(FATAL_ERROR "Include against the layers in ${LAYER_LIBRARY}:\n${offences}")
endif()
file(TOUCH ${LAYER_STAMP})
