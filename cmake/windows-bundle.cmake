# Makes the self-contained Windows folder of a program, windeployqt-style:
# the exe and every DLL it loads (found from the PE imports, recursively)
# beside it; for the updater (QML_DIR given) also the Windows platform plugin
# and the QML modules the document imports. Without QML_DIR, a console
# program of Qt Core (korvel-manifest).
#
# cmake -DQT=<Windows Qt> -DEXE=<program.exe> [-DQML_DIR=<qml sources>]
#       -DOUT=<bundle folder> -DCXX=<MinGW g++> [-DZIP=<zip file>]
#       [-DSIGN=<command, run with the bundled exe as its last argument>]
#       -P windows-bundle.cmake
cmake_minimum_required(VERSION 3.19) # string(JSON)

foreach(var QT EXE OUT CXX)
    if(NOT ${var})
        message(FATAL_ERROR "windows-bundle: ${var} is not set")
    endif()
endforeach()
string(REGEX REPLACE "g\\+\\+(-posix)?$" "" prefix "${CXX}")
set(objdump ${prefix}objdump)
set(strip ${prefix}strip)

# The MinGW runtime DLLs live beside the compiler's libraries.
set(search_dirs ${QT}/bin)
foreach(dll libstdc++-6.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CXX} -print-file-name=${dll} OUTPUT_VARIABLE found
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(dir "${found}" DIRECTORY)
    list(APPEND search_dirs ${dir})
endforeach()
# An import the OS provides has an import library in MinGW's own lib folder.
execute_process(COMMAND ${CXX} -print-file-name=libkernel32.a OUTPUT_VARIABLE found
                OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(system_import_dir "${found}" DIRECTORY)

get_filename_component(exe_name ${EXE} NAME)
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT})
file(COPY ${EXE} DESTINATION ${OUT})
set(plugins)
if(QML_DIR)
    # The QML modules, as qmlimportscanner finds them for the document. Controls 2
    # lists every style; the document uses Universal alone.
    execute_process(COMMAND ${QT}/bin/qmlimportscanner -rootPath ${QML_DIR} -importPath ${QT}/qml
                    OUTPUT_VARIABLE imports RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "qmlimportscanner failed")
    endif()
    set(modules)
    string(JSON count LENGTH "${imports}")
    math(EXPR last "${count} - 1")
    foreach(i RANGE ${last})
        string(JSON relative ERROR_VARIABLE none GET "${imports}" ${i} relativePath)
        if(NOT relative OR (relative MATCHES "^QtQuick/Controls\\.2/(.+)$"
                            AND NOT CMAKE_MATCH_1 STREQUAL "Universal"))
            continue() # our own types, or a style the document does not use
        endif()
        list(APPEND modules ${relative})
    endforeach()
    list(REMOVE_DUPLICATES modules)
    list(SORT modules)
    file(MAKE_DIRECTORY ${OUT}/platforms)
    file(COPY ${QT}/plugins/platforms/qwindows.dll DESTINATION ${OUT}/platforms)
    set(plugins ${OUT}/platforms/qwindows.dll)
    foreach(module ${modules})
        get_filename_component(parent ${module} DIRECTORY)
        # Type descriptions and designer files serve only the tools.
        file(COPY ${QT}/qml/${module} DESTINATION ${OUT}/${parent}
             PATTERN designer EXCLUDE
             PATTERN *.qmltypes EXCLUDE)
    endforeach()
    # A module's folder holds other modules too (QtQml holds StateMachine, Controls
    # 2 its styles): keep only those the document reaches.
    file(GLOB_RECURSE qmldirs RELATIVE ${OUT} ${OUT}/*/qmldir)
    foreach(qmldir ${qmldirs})
        get_filename_component(module ${qmldir} DIRECTORY)
        if(module IN_LIST modules)
            file(GLOB module_plugins ${OUT}/${module}/*.dll)
            list(APPEND plugins ${module_plugins})
        else()
            file(REMOVE_RECURSE ${OUT}/${module})
        endif()
    endforeach()
endif()

# The DLLs of the search folders by lower-case name: PE imports ignore case.
foreach(dir ${search_dirs})
    file(GLOB candidates ${dir}/*.dll)
    foreach(candidate ${candidates})
        get_filename_component(name ${candidate} NAME)
        string(TOLOWER ${name} lower)
        if(NOT DEFINED dll_${lower})
            set(dll_${lower} ${candidate})
        endif()
    endforeach()
endforeach()

# Everything the given PE files import, and what that imports in turn, found
# in the search folders; an import the OS provides is left to it.
set(dlls)
set(system_dlls)
function(resolve)
    set(pending ${ARGN})
    while(pending)
        list(POP_FRONT pending file)
        execute_process(COMMAND ${objdump} -p ${file} OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
        if(failed)
            message(FATAL_ERROR "windows-bundle: ${objdump} cannot read ${file}")
        endif()
        string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
        foreach(import ${imports})
            string(REGEX REPLACE "^DLL Name: ([^ ]+).*$" "\\1" name "${import}")
            string(TOLOWER ${name} lower)
            if(DEFINED dll_${lower})
                if(NOT dll_${lower} IN_LIST dlls)
                    list(APPEND dlls ${dll_${lower}})
                    list(APPEND pending ${dll_${lower}})
                endif()
            elseif(NOT lower MATCHES "^(api|ext)-ms-")
                string(REGEX REPLACE "\\.dll$" "" base ${lower})
                if(NOT EXISTS ${system_import_dir}/lib${base}.a)
                    message(FATAL_ERROR "windows-bundle: ${file} needs ${name}, found nowhere")
                endif()
                list(APPEND system_dlls ${lower})
            endif()
        endforeach()
    endwhile()
    list(REMOVE_DUPLICATES system_dlls)
    set(dlls ${dlls} PARENT_SCOPE)
    set(system_dlls ${system_dlls} PARENT_SCOPE)
endfunction()

resolve(${OUT}/${exe_name} ${plugins})
# Qt Network loads OpenSSL at run time, by the names compiled into it.
foreach(dll ${dlls})
    if(dll MATCHES "Qt5Network\\.dll$")
        file(STRINGS ${dll} ssl_names REGEX "^lib(ssl|crypto)-[0-9a-z_-]+$")
        if(NOT ssl_names)
            message(FATAL_ERROR "windows-bundle: no OpenSSL names in ${dll}")
        endif()
        set(ssl_dlls)
        foreach(name ${ssl_names})
            if(NOT EXISTS ${QT}/bin/${name}.dll)
                message(FATAL_ERROR "windows-bundle: Qt loads ${name}.dll, which ${QT}/bin lacks")
            endif()
            list(APPEND ssl_dlls ${QT}/bin/${name}.dll)
        endforeach()
        list(APPEND dlls ${ssl_dlls})
        resolve(${ssl_dlls})
        break()
    endif()
endforeach()
file(COPY ${dlls} DESTINATION ${OUT})
# Debian's MinGW runtime DLLs carry their debug information (libstdc++ 23 MB).
file(GLOB_RECURSE binaries ${OUT}/*.exe ${OUT}/*.dll)
# strip stamps each PE header with the time of day unless told a time: then
# every DLL would differ from build to build, and an update that changes only
# the updater would fetch them all. The same inputs give the same bundle.
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(NOT epoch MATCHES "^[0-9]+$")
    set(epoch 946684800)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${epoch}
                        ${strip} --strip-unneeded ${binaries} RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "windows-bundle: ${strip} failed")
endif()

# Pins every Qt path to this folder: the DLLs carry their build prefix, and a
# folder of that name elsewhere on the machine must never be searched.
file(WRITE ${OUT}/qt.conf "[Paths]\nPrefix = .\nPlugins = .\nQml2Imports = .\n")

# Signed after the strip, which would break a signature, and before the zip.
if(SIGN)
    execute_process(COMMAND ${SIGN} ${OUT}/${exe_name} RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "windows-bundle: signing failed")
    endif()
endif()

list(SORT system_dlls)
list(JOIN system_dlls " " system_text)
message(STATUS "Windows provides: ${system_text}")
file(GLOB_RECURSE files RELATIVE ${OUT} ${OUT}/*)
set(total 0)
foreach(file ${files})
    file(SIZE ${OUT}/${file} size)
    math(EXPR total "${total} + ${size}")
endforeach()
list(LENGTH files file_count)
math(EXPR mb "${total} / 1048576")
message(STATUS "Bundle ${OUT}: ${file_count} files, ${mb} MB")

if(ZIP)
    get_filename_component(parent ${OUT} DIRECTORY)
    get_filename_component(name ${OUT} NAME)
    file(REMOVE ${ZIP})
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip ${name}
                    WORKING_DIRECTORY ${parent} RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "windows-bundle: could not write ${ZIP}")
    endif()
    file(SIZE ${ZIP} zip_size)
    math(EXPR zip_kb "${zip_size} / 1024")
    message(STATUS "Zip ${ZIP}: ${zip_kb} KiB")
endif()
